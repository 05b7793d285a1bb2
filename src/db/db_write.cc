// Writing collections to disk.

#include <mutex>

#include "db/collection_names.h"
#include "db/database.h"
#include "storage/file_identity.h"
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

// True when a file is at `path` that is not the version `seen` of it.
// Nothing there, or no file (a directory, which no write can replace), has
// nothing to lose.
bool ChangedSince(const std::string& path, const std::optional<FileIdentity>& seen) {
  FileIdentity now;
  if (!IdentityOfPath(path, &now) || !now.regular) return false;
  return !seen.has_value() || *seen != now;
}

}  // namespace

Status Database::ToWrite(std::string_view collection_name, CollectionPtr* out) const {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  *out = FindInMemory(collection_name);
  if (*out == nullptr) {
    return Status::NotFound("Collection '" + std::string(collection_name) +
                            "' not found in stored collections");
  }
  return Status();
}

Status Database::WriteCollectionFile(std::string_view collection_name,
                                     Collection& collection) const {
  std::string path = CollectionFilePath(name_, collection_name);
  ReplaceFailure f;
  std::optional<FileIdentity> written;
  // Held until the new version is noted, so that of two writes of this
  // object the one whose file stays in place is the one noted.
  std::lock_guard<std::mutex> lock(collection.file_mutex);
  bool ok = ReplaceFile(
      path, [&](OutBuffer& out) { return WriteDocuments(collection.docs, out); }, &f, &written);
  if (ok) {
    collection.file_seen = written;
    return Status();
  }
  return ReplaceFailureStatus(f).WithNote("while writing the collection file " + path);
}

Status Database::write(std::string_view collection_name) const {
  CollectionPtr c;
  if (Status s = ToWrite(collection_name, &c); !s.ok()) return s;
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

Status Database::ChangedFiles(const std::string_view* collection_name,
                              std::vector<std::string>* paths) const {
  auto check = [&](std::string_view name, Collection& c) {
    std::string path = CollectionFilePath(name_, name);
    std::lock_guard<std::mutex> lock(c.file_mutex);
    if (ChangedSince(path, c.file_seen)) paths->push_back(std::move(path));
  };
  if (collection_name == nullptr) {
    for (const auto& [name, collection] : collections_) check(name, *collection);
    return Status();
  }
  CollectionPtr c;
  if (Status s = ToWrite(*collection_name, &c); !s.ok()) return s;
  check(*collection_name, *c);
  return Status();
}

}  // namespace moxal
