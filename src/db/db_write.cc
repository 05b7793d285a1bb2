// Writing collections to disk.

#include "db/collection_names.h"
#include "db/database.h"
#include "storage/os_error.h"
#include "storage/replace_file.h"
#include "values/json_writer.h"

namespace moxal {

namespace {

// The collection as one compact JSON array: "[", the documents separated
// by ",", "]".
bool WriteDocuments(const std::vector<Value>& docs, OutBuffer& out) {
  out.Put('[');
  for (size_t i = 0; i < docs.size(); ++i) {
    if (i != 0) out.Put(',');
    if (!WriteJson(docs[i].ref(), out)) return false;
  }
  out.Put(']');
  return out.ok();
}

Status ReplaceFailureStatus(const ReplaceFailure& f) {
  switch (f.stage) {
    case ReplaceFailure::kCreate:
      return Status::StorageFailed("Problem creating temporary file: " + DetailText(f.error));
    case ReplaceFailure::kWrite:
      return Status::WriteFailed("Error serializing JSON");
    case ReplaceFailure::kFlush:
      return Status::FlushFailed(std::string(kUnwrapErrPrefix) + DetailText(f.error));
    case ReplaceFailure::kSync:
      return Status::StorageFailed("Error syncing file: " + DetailText(f.error));
    case ReplaceFailure::kRename:
      break;
  }
  return Status::StorageFailed("Error renaming file: " + DetailText(f.error));
}

}  // namespace

Status Database::WriteCollectionFile(std::string_view collection_name,
                                     const Collection& collection) const {
  std::string path = CollectionFilePath(name_, collection_name);
  ReplaceFailure f;
  bool ok =
      ReplaceFile(path, [&](OutBuffer& out) { return WriteDocuments(collection.docs, out); }, &f);
  if (ok) return Status();
  return ReplaceFailureStatus(f).WithNote("while writing the collection file " + path);
}

Status Database::write(std::string_view collection_name) const {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c = FindInMemory(collection_name);
  if (c == nullptr) {
    return Status::NotFound("Collection '" + std::string(collection_name) +
                            "' not found in stored collections");
  }
  return WriteCollectionFile(collection_name, *c);
}

Status Database::write_all() const {
  // Every collection is attempted; the first failure is reported after.
  Status first;
  for (const auto& [name, collection] : collections_) {
    Status s = WriteCollectionFile(name, *collection);
    if (!s.ok() && first.ok()) first = std::move(s);
  }
  return first;
}

}  // namespace moxal
