#include "db/collection_file.h"

#include "storage/file_io.h"

namespace moxal {

Status ReadDocumentFile(const std::string& path, Value* out, std::vector<Value>* elements) {
  ReadFailure f;
  if (ReadJsonFile(path, out, elements, &f)) return Status();
  switch (f.stage) {
    case ReadFailure::kOpen:
      return Status::OpenFailed("Error opening document " + ShortText(f.error));
    case ReadFailure::kInvalid:
      break;
  }
  return Status::InvalidDocument("Error deserializing JSON");
}

Status ReadCollectionFile(const std::string& path, std::string_view collection_name,
                          std::vector<Value>* docs) {
  Value whole;
  Status s = ReadDocumentFile(path, &whole, docs);
  if (!s.ok() || whole.empty()) return s;  // an array: docs are filled
  ValueRef member;
  if (whole.ref().is_object()) member = whole.ref().as_object().Find(collection_name);
  if (!member || !member.is_array()) return Status::Internal(kUnwrapNone);
  docs->reserve(member.as_array().count());
  for (ValueRef doc : member.as_array()) docs->push_back(Value::CopyOf(doc));
  return Status();
}

}  // namespace moxal
