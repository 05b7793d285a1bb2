// Creating and dropping collections.
//
// Without a journal a drop removes the collection's file at once: nothing
// comes after that could fail. With one, the file is first renamed aside
// (collection_names.h), the drop recorded, and only then the file removed,
// so a drop whose record cannot be appended puts the file back and changes
// nothing, and a process that dies in between leaves a file that opening
// the directory removes or puts back, as the journal says.

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "db/collection_names.h"
#include "db/database.h"
#include "db/journal_record.h"
#include "db/journal_state.h"
#include "storage/fs.h"
#include "storage/os_error.h"

namespace moxal {

namespace {

// Removes the file at `path`. Nothing there (ENOENT, ENOTDIR) and a
// directory there (EISDIR) count as done; any other failure is returned.
Status RemoveCollectionFile(const std::string& path) {
  SysError e;
  if (RemoveFile(path, &e)) return Status();
  if (e.code == 0) return Status();  // a NUL in the path: nothing can be there
  if (e.code == ENOENT || e.code == ENOTDIR || e.code == EISDIR) return Status();
  return SystemStatus(e);
}

uint64_t NewToken() {
  uint64_t token = 0;
  while (token == 0) {
    if (::getrandom(&token, sizeof token, GRND_NONBLOCK) != sizeof token) {
      token = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
  }
  return token;
}

// Renames the file of `t` aside. A path with no file, or a directory,
// has nothing to set aside: the drop goes on without (token 0).
Status SetAside(PreparedDrop::Target* t) {
  struct stat st;
  if (HasNul(t->path) || ::lstat(t->path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return Status();
  uint64_t token = NewToken();
  std::string aside = AsidePath(t->path, token);
  SysError e;
  if (!RenameFile(t->path, aside, &e)) {
    if (e.code == ENOENT || e.code == ENOTDIR) return Status();  // gone meanwhile
    return SystemStatus(e);
  }
  t->aside = std::move(aside);
  t->token = token;
  return Status();
}

}  // namespace

Status Database::prepare_create_collection(std::string_view collection_name, PreparedCreate* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  out->name = collection_name;
  return Status();
}

Status Database::Reserve(PreparedCreate* c) {
  // A collection in memory is there already, with documents perhaps never
  // written (its file may be gone): it stays as it is, and so does the path.
  if (FindInMemory(c->name) != nullptr) return Status();
  return MakeCollectionFile(c->name, &c->made);
}

void Database::Undo(PreparedCreate* c) noexcept { UndoNewCollection(c->name, &c->made); }

bool Database::Record(const PreparedCreate& c, RecordBuilder* r, uint64_t*) const {
  if (c.made.collection == nullptr) return false;  // the path was taken
  r->Type(RecordType::kCreate);
  r->Text(c.name);
  return true;
}

void Database::Apply(PreparedCreate* c, uint64_t changed_at) noexcept {
  if (c->made.collection == nullptr) return;
  c->made.collection->changed_at = changed_at;
  // A collection held under that name is replaced.
  PlaceNewCollection(c->name, &c->made);
}

Status Database::prepare_drop_collection(std::string_view collection_name, PreparedDrop* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  out->targets.push_back(
      {std::string(collection_name), CollectionFilePath(name_, collection_name)});
  return Status();
}

Status Database::prepare_drop_all(PreparedDrop* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  std::vector<std::string> names;
  if (Status s = collections(&names); !s.ok()) return Status::InternalFrom(s);
  // Every path is made before the first file goes, so running out of
  // memory cannot stop the call halfway.
  out->targets.reserve(names.size());
  for (std::string& name : names) {
    std::string path = CollectionFilePath(name_, name);
    out->targets.push_back({std::move(name), std::move(path)});
  }
  out->all = true;
  return Status();
}

Status Database::Reserve(PreparedDrop* c) {
  if (Status s = CheckUnshared(); !s.ok()) return s;
  for (PreparedDrop::Target& t : c->targets) {
    Status s = journal_ != nullptr ? SetAside(&t) : RemoveCollectionFile(t.path);
    if (s.ok()) {
      t.dropped = true;
    } else if (!c->all) {
      return s;  // the collection stays in memory
    } else if (c->failure.ok()) {
      c->failure = std::move(s);  // that collection stays in memory
    }
  }
  // The renames are made durable before the drop's record is: a record
  // that survives a power cut while the rename does not would leave the
  // file where the next opening loads it again.
  std::vector<std::string> dirs;
  for (const PreparedDrop::Target& t : c->targets) {
    if (t.aside.empty()) continue;
    std::string dir = ParentDirectory(t.path);
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(std::move(dir));
  }
  for (const std::string& dir : dirs) SyncDirectory(dir);
  return Status();
}

void Database::Undo(PreparedDrop* c) noexcept {
  for (PreparedDrop::Target& t : c->targets) {
    SysError ignored;
    if (!t.aside.empty()) RenameFile(t.aside, t.path, &ignored);
    t.aside.clear();
    t.dropped = false;
  }
}

bool Database::Record(const PreparedDrop& c, RecordBuilder* r, uint64_t*) const {
  std::vector<const PreparedDrop::Target*> recorded;
  for (const PreparedDrop::Target& t : c.targets) {
    if (t.dropped && (t.token != 0 || FindInMemory(t.name) != nullptr)) recorded.push_back(&t);
  }
  if (recorded.empty()) return false;
  r->Type(RecordType::kDrop);
  r->Varint(recorded.size());
  for (const PreparedDrop::Target* t : recorded) {
    r->Text(t->name);
    r->Varint(t->token);
  }
  return true;
}

void Database::Apply(PreparedDrop* c, uint64_t) noexcept {
  for (PreparedDrop::Target& t : c->targets) {
    if (!t.dropped) continue;
    SysError e;
    if (!t.aside.empty() && !RemoveFile(t.aside, &e) && e.code != ENOENT) {
      // Removed before the journal forgets the drop (FoldPlan), or by the
      // next opening.
      try {
        journal_->asides.push_back(t.aside);
      } catch (const std::bad_alloc&) {
      }
    }
    Unregister(t.name);
    cache_.Release(t.name);  // its results hold documents that are gone
  }
  if (c->all) {
    SysError ignored;
    RemoveDirectory(name_, &ignored);  // only succeeds when empty
  }
}

}  // namespace moxal
