#include "db/collection_file.h"

#include "storage/file_io.h"
#include "values/json_reader.h"

namespace moxal {

namespace {

Status ReadFile(const std::string& path, FileKind kind, Value* out, std::vector<Value>* elements,
                bool* gone) {
  ReadFailure f;
  if (ReadJsonFile(path, kind, out, elements, &f)) return Status();
  switch (f.stage) {
    case ReadFailure::kGone:
      if (gone != nullptr) {
        *gone = true;
        return Status();
      }
      [[fallthrough]];
    case ReadFailure::kOpen:
      return Status::OpenFailed("Error opening document " + ShortText(f.error));
    case ReadFailure::kInvalid:
      break;
  }
  Status s = Status::InvalidDocument("Error deserializing JSON");
  if (f.offset == kNoOffset) return s;
  std::string where = "the text is not JSON from ";
  if (f.line != 0) {
    where += "line " + std::to_string(f.line) + " column " + std::to_string(f.column) + " (byte " +
             std::to_string(f.offset) + ")";
  } else {
    where += "byte " + std::to_string(f.offset);
  }
  return std::move(s).WithNote(where + " on");
}

}  // namespace

Status ReadDocumentFile(const std::string& path, Value* out, std::vector<Value>* elements) {
  return ReadFile(path, FileKind::kAny, out, elements, /*gone=*/nullptr);
}

Status ReadCollectionFile(const std::string& path, std::string_view collection_name,
                          std::vector<Value>* docs, bool* gone) {
  Value whole;
  Status s = ReadFile(path, FileKind::kRegular, &whole, docs, gone);
  if (!s.ok() || whole.empty()) return s;  // an array (docs are filled), or gone
  ValueRef member;
  if (whole.ref().is_object()) member = whole.ref().as_object().Find(collection_name);
  if (!member || !member.is_array()) return Status::Internal(kUnwrapNone);
  docs->reserve(member.as_array().count());
  for (ValueRef doc : member.as_array()) docs->push_back(Value::CopyOf(doc));
  return Status();
}

}  // namespace moxal
