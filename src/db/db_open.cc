// Opening a database directory, listing it, and the collection map.

#include <cassert>
#include <string>
#include <unordered_set>
#include <vector>

#include "db/collection_file.h"
#include "db/collection_names.h"
#include "db/database.h"
#include "storage/file_identity.h"
#include "storage/fs.h"
#include "storage/journal_file.h"
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
    // Without a journal, whether that works is not our concern until
    // something is written; a journal needs the directory at once.
    SysError ignored;
    MakeDirectory(name_, &ignored);
    if (durability_ == Durability::kOff) return Status();
  }
  // The collections are gathered aside and put in memory only once every
  // one is read, so a failure leaves the map as it was.
  CollectionMap loaded = collections_;
  if (durability_ != Durability::kOff) {
    if (Status s = OpenJournal(&loaded); !s.ok()) return s;
  } else if (Status s = CheckUnshared(); !s.ok()) {
    return s;  // this object would not see their changes
  } else if (JournalFile::HasRecords(name_)) {
    return Status::InvalidArgument(
        "This directory has a journal holding changes its collection files do not have yet: "
        "open it with the journal (journal=\"process\" or journal=\"always\"), which applies "
        "them");
  } else if (Status s = LoadFiles(&loaded); !s.ok()) {
    return s;
  }
  collections_.swap(loaded);
  return Status();
}

Status Database::LoadFiles(CollectionMap* map) const {
  // The whole listing is read before any file is opened.
  std::vector<std::string> files;
  if (Status s = ListFiles(name_, /*strict=*/false, &files); !s.ok()) return s;
  // A file whose collection has another file (a.b.json: the collection
  // a.b, whose file is a.json) loads only when that file is not listed and
  // no earlier file leads there too: two collections would write one file.
  std::unordered_set<std::string> taken;
  for (const std::string& file : files) {
    if (HasJsonExtension(file) && CollectionFileKey(Stem(file)) == file) taken.insert(file);
  }
  for (const std::string& file : files) {
    if (!HasJsonExtension(file)) continue;
    std::string path = JoinPath(name_, file);
    if (!IsUtf8(path)) return Status::NotUtf8(kUnwrapNone);
    std::string_view name = Stem(file);
    if (std::string key = CollectionFileKey(name); key != file && !taken.insert(key).second) {
      continue;
    }
    CollectionPtr collection;
    bool gone = false;
    if (Status s = ReadCollection(name, path, &collection, &gone); !s.ok()) return s;
    // Removed since the listing named it: skipped, as a listing made now would.
    if (gone) continue;
    map->insert_or_assign(std::string(name), std::move(collection));
  }
  return Status();
}

Status Database::ReadCollection(std::string_view collection_name, const std::string& path,
                                CollectionPtr* out, bool* gone) const {
  // The version read is examined first: should the file be replaced in
  // between, the next write takes the newer version read for a change by
  // somebody else and says so, rather than missing a real one.
  FileIdentity seen;
  bool known = IdentityOfPath(path, &seen);
  if (known) NoteContentOfPath(path, &seen);
  std::vector<Value> docs;
  if (Status s = ReadCollectionFile(path, collection_name, &docs, gone); !s.ok()) {
    return std::move(s).WithNoteBefore("while loading the collection file " + path);
  }
  if (gone != nullptr && *gone) return Status();
  *out = MakeCollection(std::move(docs));
  if (known) (*out)->file_seen = seen;
  return Status();
}

Status Database::collections(std::vector<std::string>* stems) const {
  std::vector<std::string> files;
  if (Status s = ListFiles(name_, /*strict=*/true, &files); !s.ok()) return s;
  for (const std::string& file : files) {
    if (IsJournalFileName(file)) continue;
    std::string_view stem = Stem(file);
    if (!IsUtf8(stem)) {
      return Status::NotUtf8(std::string(kUnwrapErrPrefix) + DebugQuote(stem));
    }
    stems->emplace_back(stem);
  }
  return Status();
}

Status Database::CheckName(std::string_view collection_name) const {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (collections_.find(collection_name) != collections_.end()) return Status();
  // Only names new to memory are compared, one by one: making a
  // collection costs a file anyway.
  std::string key = CollectionFileKey(collection_name);
  for (const auto& [name, collection] : collections_) {
    if (CollectionFileKey(name) == key) {
      return FileTaken(collection_name, name, CollectionFilePath(name_, name));
    }
  }
  return Status();
}

CollectionPtr Database::FindInMemory(std::string_view collection_name) const {
  auto it = collections_.find(collection_name);
  return it == collections_.end() ? nullptr : it->second;
}

void Database::Register(std::string_view collection_name, CollectionPtr collection) {
  assert(collection != nullptr);
  auto it = collections_.find(collection_name);
  if (it != collections_.end()) {
    it->second = std::move(collection);
  } else {
    // The key is made before the map changes; emplace changes nothing when
    // it throws.
    collections_.emplace(std::string(collection_name), std::move(collection));
  }
}

void Database::Unregister(std::string_view collection_name) noexcept {
  auto it = collections_.find(collection_name);
  if (it != collections_.end()) collections_.erase(it);
}

}  // namespace moxal
