// Creating and dropping collections.

#include <cerrno>

#include "db/database.h"
#include "db/collection_names.h"
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

Status Database::create_collection(std::string_view collection_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  std::string path = CollectionFilePath(name_, collection_name);
  if (PathExists(path)) return Status();  // taken
  // Another process may create or write the file while this one does: the
  // new file goes in place only if the path is still free by then, and a
  // collection that appeared meanwhile is kept, as if it had been there
  // from the start.
  ReplaceFailure f;
  bool created = false;
  bool ok = CreateFileIfAbsent(
      path,
      [](OutBuffer& out) {
        out.Write(kEmptyCollection, sizeof kEmptyCollection - 1);
        return out.ok();
      },
      &f, &created);
  if (!ok) return SystemStatus(f.error);
  if (created) put(collection_name, MakeCollection());
  return Status();
}

Status Database::drop_collection(std::string_view collection_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (Status s = RemoveCollectionFile(CollectionFilePath(name_, collection_name)); !s.ok()) {
    return s;  // the collection stays in memory
  }
  remove(collection_name);
  return Status();
}

Status Database::drop_all() {
  std::vector<std::string> names;
  if (Status s = collections(&names); !s.ok()) return Status::InternalFrom(s);
  Status first;
  for (const std::string& name : names) {
    Status s = RemoveCollectionFile(CollectionFilePath(name_, name));
    if (s.ok()) {
      remove(name);
    } else if (first.ok()) {
      first = std::move(s);  // that collection stays in memory
    }
  }
  SysError ignored;
  RemoveDirectory(name_, &ignored);  // only succeeds when empty
  return first;
}

}  // namespace moxal
