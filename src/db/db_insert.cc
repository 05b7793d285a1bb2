// Inserting documents: insert, insert_many, insert_many_from_document and
// load_from_document.

#include <algorithm>
#include <cassert>

#include "db/collection_file.h"
#include "db/collection_names.h"
#include "db/database.h"
#include "db/journal_record.h"
#include "storage/file_identity.h"
#include "storage/fs.h"
#include "storage/os_error.h"
#include "storage/replace_file.h"

namespace moxal {

namespace {

std::string ReadingNote(std::string_view path) { return "while reading " + std::string(path); }

// What a new collection's file holds: an empty array.
bool WriteEmptyArray(OutBuffer& out) {
  static constexpr char kEmpty[] = "[]";
  out.Write(kEmpty, sizeof kEmpty - 1);
  return out.ok();
}

}  // namespace

Status Database::PrepareInsert(std::string_view collection_name, std::vector<Value> docs,
                               PreparedInsert* out) {
  out->name = collection_name;
  out->collection = FindInMemory(collection_name);
  if (out->collection != nullptr) out->stamp = out->collection->stamp;
  out->docs = std::move(docs);
  return Status();
}

Status Database::prepare_insert(std::string_view collection_name, Converted<Value> document,
                                PreparedInsert* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  if (!document.error.ok()) return document.error;
  std::vector<Value> docs;
  docs.push_back(std::move(document.value));
  return PrepareInsert(collection_name, std::move(docs), out);
}

Status Database::prepare_insert_many(std::string_view collection_name,
                                     Converted<std::vector<Value>> documents, PreparedInsert* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  if (!documents.error.ok()) return documents.error;
  return PrepareInsert(collection_name, std::move(documents.value), out);
}

Status Database::prepare_insert_many_from_document(std::string_view collection_name,
                                                   std::string_view document_name,
                                                   PreparedInsert* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  Value whole;
  std::vector<Value> docs;
  if (Status s = ReadDocumentFile(std::string(document_name), &whole, &docs); !s.ok()) {
    return std::move(s).WithNoteBefore(ReadingNote(document_name));
  }
  if (!whole.empty()) {
    return Status::InvalidDocument("Document is not an array").WithNote(ReadingNote(document_name));
  }
  return PrepareInsert(collection_name, std::move(docs), out);
}

Status Database::prepare_load_from_document(std::string_view document_path, PreparedLoad* out) {
  if (Status s = BeginChange(out); !s.ok()) return s;
  Value whole;
  if (Status s = ReadDocumentFile(std::string(document_path), &whole); !s.ok()) {
    return std::move(s).WithNoteBefore(ReadingNote(document_path));
  }
  if (!whole.ref().is_object()) {
    return Status::Internal(kUnwrapNone).WithNote(ReadingNote(document_path));
  }
  // Collections are filled one after another, in key order: a member that
  // fails leaves the members before it inserted.
  ObjectRef members = whole.ref().as_object();
  out->groups.reserve(members.count());
  for (Member m : members) {
    Status s = CheckName(m.key);
    // Nor may two members make collections of one file.
    for (const PreparedInsert& g : out->groups) {
      if (!s.ok()) break;
      if (g.collection == nullptr && CollectionFileKey(g.name) == CollectionFileKey(m.key)) {
        s = FileTaken(m.key, g.name, CollectionFilePath(name_, g.name));
      }
    }
    if (!s.ok()) {
      out->failure = std::move(s);
      break;
    }
    // Each element becomes a document of its own.
    std::vector<Value> docs;
    if (m.value.is_array()) {
      docs.reserve(m.value.as_array().count());
      for (ValueRef e : m.value.as_array()) docs.push_back(Value::CopyOf(e));
    } else {
      docs.push_back(Value::CopyOf(m.value));
    }
    out->groups.emplace_back();
    static_cast<void>(PrepareInsert(m.key, std::move(docs), &out->groups.back()));
  }
  return Status();
}

// --- Commit steps ---

Status Database::MakeCollectionFile(std::string_view collection_name, NewCollection* made) {
  if (Status s = CheckUnshared(); !s.ok()) return s;
  made->path = CollectionFilePath(name_, collection_name);
  if (PathExists(made->path)) return Status();  // taken
  if (journal_ != nullptr) {
    // The record comes first: a file made before it would show the
    // collection (empty) after a crash that lost the record. It is made
    // once the record is synced (PlaceNewCollection).
    auto [slot, added] = collections_.try_emplace(std::string(collection_name));
    made->slot_added = added;
    made->file_after_record = true;
    try {
      made->collection = MakeCollection();
      // The file, ready to be put in place: a failure to make it (a full
      // disk) only leaves the collection to the next fold to write.
      made->staged = std::make_unique<StagedFile>();
      ReplaceFailure f;
      if (!made->staged->StageNamed(made->path, WriteEmptyArray, &f)) made->staged.reset();
    } catch (...) {
      if (added) collections_.erase(slot);
      made->slot_added = false;
      made->collection = nullptr;
      made->staged.reset();
      throw;
    }
    return Status();
  }
  // The map entry is made first, empty, so nothing is left to fail once
  // the file is in place.
  CollectionPtr collection = MakeCollection();
  auto [slot, added] = collections_.try_emplace(std::string(collection_name));
  // Taken out again unless the file is made, whatever happens (running out
  // of memory included).
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
  bool created = false;
  bool ok = CreateFileIfAbsent(made->path, WriteEmptyArray, &f, &created, &made->file);
  if (!ok) return SystemStatus(f.error);
  if (!created) return Status();
  guard.drop = false;
  made->slot_added = added;
  collection->file_seen = made->file;
  made->collection = std::move(collection);
  return Status();
}

void Database::UndoNewCollection(std::string_view collection_name, NewCollection* made) noexcept {
  made->staged.reset();  // its file goes with it
  if (made->collection == nullptr) return;
  if (made->slot_added) Unregister(collection_name);
  // The file goes again, unless somebody else replaced it meanwhile.
  FileIdentity now;
  if (!made->file_after_record && made->file.has_value() && IdentityOfPath(made->path, &now) &&
      now == *made->file) {
    SysError ignored;
    RemoveFile(made->path, &ignored);
  }
  made->collection = nullptr;
}

Status Database::Reserve(PreparedInsert* c) {
  if (Status s = Stale(c->collection, c->name, c->stamp); !s.ok()) return s;
  if (c->collection != nullptr) {
    MakeRoom(c->collection->docs, c->docs.size());
    return Status();
  }
  // A new collection: its file is made (empty) and it holds the documents
  // from the start. Deliberately dropped: whatever making the file says is
  // not reported; a collection not made (something already at the path,
  // or an error) is reported as missing.
  if (Status s = CheckUnshared(); !s.ok()) return s;
  static_cast<void>(MakeCollectionFile(c->name, &c->made));
  if (c->made.collection == nullptr) return Status::Internal(kUnwrapNone);
  return Status();
}

Status Database::Reserve(PreparedLoad* c) {
  for (size_t g = 0; g < c->groups.size(); ++g) {
    PreparedInsert& group = c->groups[g];
    Status s = Stale(group.collection, group.name, group.stamp);
    if (s.ok() && group.collection == nullptr) {
      s = MakeCollectionFile(group.name, &group.made);
      if (s.ok() && group.made.collection == nullptr) s = Status::Internal(kUnwrapNone);
    } else if (s.ok()) {
      MakeRoom(group.collection->docs, group.docs.size());
    }
    if (!s.ok()) {
      // This member fails: the ones before it go in, and the call reports
      // this failure, which comes before any later one.
      c->groups.resize(g);
      if (g == 0) return s;
      c->failure = std::move(s);
      break;
    }
  }
  if (c->groups.empty() && !c->failure.ok()) return c->failure;
  return Status();
}

void Database::Undo(PreparedInsert* c) noexcept { UndoNewCollection(c->name, &c->made); }

void Database::Undo(PreparedLoad* c) noexcept {
  for (auto g = c->groups.rbegin(); g != c->groups.rend(); ++g) Undo(&*g);
}

namespace {

void RecordGroup(const PreparedInsert& c, RecordBuilder* r) {
  r->Text(c.name);
  r->Byte(c.collection == nullptr ? 1 : 0);
  r->Varint(c.docs.size());
  for (const Value& d : c.docs) r->Document(d);
}

}  // namespace

bool Database::Record(const PreparedInsert& c, RecordBuilder* r, uint64_t*) const {
  r->Type(RecordType::kInsert);
  RecordGroup(c, r);
  return true;
}

bool Database::Record(const PreparedLoad& c, RecordBuilder* r, uint64_t*) const {
  if (c.groups.empty()) return false;
  r->Type(RecordType::kLoad);
  r->Varint(c.groups.size());
  for (const PreparedInsert& g : c.groups) RecordGroup(g, r);
  return true;
}

void Database::MakeDeferredFile(NewCollection* made) const noexcept {
  // For the tools that read the files, and collections(): the record holds
  // the collection whatever becomes of its file, which the next fold
  // writes if this cannot (something took the path meanwhile, or the disk
  // is full).
  try {
    ReplaceFailure f;
    bool created = false;
    CreateFileIfAbsent(made->path, WriteEmptyArray, &f, &created, &made->file);
    if (created) made->collection->file_seen = made->file;
  } catch (const std::bad_alloc&) {
  }
}

void Database::PlaceNewCollection(std::string_view collection_name, NewCollection* made) noexcept {
  if (made->staged != nullptr) {
    ReplaceFailure f;
    bool placed = false;
    if (made->staged->PlaceIfAbsent(&f, &placed) && placed) {
      made->file = made->staged->identity();
      made->collection->file_seen = made->file;
    }
    made->staged.reset();
  }
  collections_.find(collection_name)->second = std::move(made->collection);
}

void Database::Apply(PreparedInsert* c, uint64_t changed_at) noexcept {
  Collection* target = c->collection.get();
  if (target == nullptr) {
    target = c->made.collection.get();
    PlaceNewCollection(c->name, &c->made);
  }
  if (target->docs.empty()) {
    target->docs = std::move(c->docs);
  } else {
    for (Value& d : c->docs) target->docs.push_back(std::move(d));  // room was made
  }
  target->Touch();
  if (changed_at != 0) target->changed_at = changed_at;
}

void Database::Apply(PreparedLoad* c, uint64_t changed_at) noexcept {
  for (PreparedInsert& g : c->groups) {
    Apply(&g, changed_at);
    cache_.Release(g.name);  // read again: what was cached of it is of no use
  }
}

}  // namespace moxal
