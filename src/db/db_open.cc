// Opening a database directory, listing it, and the collection map.

#include <string>
#include <vector>

#include "db/database.h"
#include "db/collection_file.h"
#include "db/collection_names.h"
#include "storage/fs.h"
#include "storage/os_error.h"
#include "values/debug_text.h"
#include "values/utf8.h"

namespace moxal {

namespace {

bool IsUtf8(std::string_view s) {
  return IsValidUtf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The file names of a directory in listing order (see ListDirectory).
Status ListFiles(const std::string& dir, bool strict, std::vector<std::string>* names) {
  SysError e;
  if (!ListDirectory(dir, strict, names, &e)) return SystemStatus(e);
  return Status();
}

}  // namespace

Status Database::open() {
  if (!PathExists(name_)) {
    // Nothing usable there: make the directory (one level) and start empty.
    // Whether that works is not our concern until something is written.
    SysError ignored;
    MakeDirectory(name_, &ignored);
    return Status();
  }
  // The whole listing is read before any file is opened.
  std::vector<std::string> files;
  if (Status s = ListFiles(name_, /*strict=*/false, &files); !s.ok()) return s;
  for (const std::string& file : files) {
    if (!HasJsonExtension(file)) continue;
    std::string path = JoinPath(name_, file);
    if (!IsUtf8(path)) return Status::NotUtf8(kUnwrapNone);
    if (Status s = load_collection(Stem(file), path); !s.ok()) return s;
  }
  return Status();
}

Status Database::load_collection(std::string_view collection_name, const std::string& path) {
  std::vector<Value> docs;
  if (Status s = ReadCollectionFile(path, collection_name, &docs); !s.ok()) {
    return std::move(s).WithNote("while loading the collection file " + path);
  }
  put(collection_name, MakeCollection(std::move(docs)));
  return Status();
}

Status Database::collections(std::vector<std::string>* stems) const {
  std::vector<std::string> files;
  if (Status s = ListFiles(name_, /*strict=*/true, &files); !s.ok()) return s;
  for (const std::string& file : files) {
    std::string_view stem = Stem(file);
    if (!IsUtf8(stem)) {
      return Status::NotUtf8(std::string(kUnwrapErrPrefix) + DebugQuote(stem));
    }
    stems->emplace_back(stem);
  }
  return Status();
}

CollectionPtr Database::get(std::string_view collection_name) const {
  auto it = collections_.find(collection_name);
  return it == collections_.end() ? nullptr : it->second;
}

void Database::put(std::string_view collection_name, CollectionPtr collection) {
  auto it = collections_.find(collection_name);
  if (it != collections_.end()) {
    it->second = std::move(collection);
  } else {
    collections_.emplace(std::string(collection_name), std::move(collection));
  }
}

void Database::remove(std::string_view collection_name) {
  auto it = collections_.find(collection_name);
  if (it != collections_.end()) collections_.erase(it);
}

}  // namespace moxal
