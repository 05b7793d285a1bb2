// Creating and dropping collections.

#include <cerrno>

#include "db/collection_names.h"
#include "db/database.h"
#include "storage/fs.h"
#include "storage/os_error.h"
#include "storage/replace_file.h"

namespace moxal {

namespace {

// What a new collection file holds: an empty array.
constexpr char kEmptyCollection[] = "[]";

// Removes the file at `path`. Nothing there (ENOENT, ENOTDIR) and a
// directory there (EISDIR) count as done; any other failure is returned.
Status RemoveCollectionFile(const std::string& path) {
  SysError e;
  if (RemoveFile(path, &e)) return Status();
  if (e.code == 0) return Status();  // a NUL in the path: nothing can be there
  if (e.code == ENOENT || e.code == ENOTDIR || e.code == EISDIR) return Status();
  return SystemStatus(e);
}

}  // namespace

Status Database::CreateCollectionFile(std::string_view collection_name, CollectionPtr collection,
                                      bool* created) {
  *created = false;
  std::string path = CollectionFilePath(name_, collection_name);
  if (PathExists(path)) return Status();  // taken
  // The map entry is made first, empty, so nothing is left to fail once
  // the file is in place; it goes again unless the file is made.
  auto [slot, added] = collections_.try_emplace(std::string(collection_name));
  struct SlotGuard {
    CollectionMap& map;
    CollectionMap::iterator slot;
    bool drop;
    ~SlotGuard() {
      if (drop) map.erase(slot);
    }
  } guard{collections_, slot, added};
  // Another process may create or write the file while this one does: the
  // new file goes in place only if the path is still free by then, and a
  // collection that appeared meanwhile is kept, as if it had been there
  // from the start.
  ReplaceFailure f;
  bool ok = CreateFileIfAbsent(
      path,
      [](OutBuffer& out) {
        out.Write(kEmptyCollection, sizeof kEmptyCollection - 1);
        return out.ok();
      },
      &f, created, &collection->file_seen);
  if (!ok) return SystemStatus(f.error);
  if (!*created) return Status();
  guard.drop = false;
  slot->second = std::move(collection);
  return Status();
}

Status Database::create_collection(std::string_view collection_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  bool created;
  return CreateCollectionFile(collection_name, MakeCollection(), &created);
}

Status Database::drop_collection(std::string_view collection_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (Status s = RemoveCollectionFile(CollectionFilePath(name_, collection_name)); !s.ok()) {
    return s;  // the collection stays in memory
  }
  Unregister(collection_name);
  return Status();
}

Status Database::drop_all() {
  std::vector<std::string> names;
  if (Status s = collections(&names); !s.ok()) return Status::InternalFrom(s);
  // Every path is made before the first file goes, so running out of
  // memory cannot stop the call halfway.
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(CollectionFilePath(name_, name));
  Status first;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    Status s = RemoveCollectionFile(paths[i]);
    if (s.ok()) {
      Unregister(name);
    } else if (first.ok()) {
      first = std::move(s);  // that collection stays in memory
    }
  }
  SysError ignored;
  RemoveDirectory(name_, &ignored);  // only succeeds when empty
  return first;
}

}  // namespace moxal
