// The journal: opening and replaying it, the step every call begins with,
// appending records, and going back to the state on disk after a sync of
// the journal failed.
//
// Replay. The collection files hold the collections as of some position of
// the journal each: a file renamed into place by a fold holds its
// collection as of the fold's position (its kFold record names the file's
// identity); a collection made afresh by a record (create_collection, an
// insert that made it, a drop) starts at that record; any other file holds
// its collection as of the journal's start. Replay applies to each
// collection the records from its position on, in the journal's order, as
// the calls applied them; so it reads the journal twice, first to find
// those positions (and check that every record can be read), then to apply
// them. It prints no trace line and builds no index.

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <unordered_map>
#include <unordered_set>

#include "db/collection_names.h"
#include "db/database.h"
#include "db/fold.h"
#include "db/journal_record.h"
#include "db/journal_state.h"
#include "db/update_changes.h"
#include "storage/file_identity.h"
#include "storage/fs.h"
#include "storage/periodic_sync.h"
#include "storage/test_gate.h"
#include "storage/work_guard.h"
#include "values/blob_arena.h"
#include "values/blob_check.h"

namespace moxal {

namespace {

Status Damaged(const JournalFile& file, uint64_t position, const std::string& why) {
  return Status::InvalidDocument("Damaged journal: the record at position " +
                                 std::to_string(position) + " " + why + "; nothing was changed")
      .WithNote("journal " + file.path());
}

// Reads a count of items of at least `min_size` bytes each, bounded by what
// the record holds, so a damaged count cannot ask for absurd memory.
bool Count(RecordReader* r, size_t size, size_t min_size, uint64_t* n) {
  return r->Varint(n) && *n <= size / min_size;
}

// Skips a document in the first reading (the second checks it).
bool SkipDocument(RecordReader* r) {
  std::string_view bytes;
  return r->Text(&bytes);
}

}  // namespace

Status Database::OpenJournal(CollectionMap* map) {
  std::unique_ptr<JournalFile> file;
  if (Status s = JournalFile::Open(name_, &file); !s.ok()) return s;
  return JoinJournal(std::move(file), map);
}

Status Database::JoinJournal(std::unique_ptr<JournalFile> file, CollectionMap* map) {
  auto journal = std::make_unique<Journal>();
  journal->file = std::move(file);
  journal->forks = ForkCount();
  journal_ = std::move(journal);
  // Without the journal again unless it opens (a failure, or running out
  // of memory, lets go of it and of its locks).
  struct LetGo {
    std::unique_ptr<Journal>& journal;
    bool opened = false;
    ~LetGo() {
      if (!opened) journal.reset();
    }
  } let_go{journal_};
  ReplayPlan plan;
  JournalFile& f = *journal_->file;
  auto note = [&](uint64_t position, const uint8_t* data, size_t size) {
    return NoteRecord(position, data, size, &plan);
  };
  Status s;
  // Where the state read stands in the journal, noted while nobody can
  // append: once others may, records past it are theirs, which this
  // object's next call applies. (Read after, the end could take in a record
  // this object never applied.)
  uint64_t end = 0, epoch = 0;
  if (f.first()) {
    // No other object has the journal open, nor can until this one joins:
    // what the files and the journal hold is this object's to settle.
    s = f.Scan(note);
    if (s.ok()) s = ReadState(&plan, map, /*alone=*/true);
    end = f.end();
    epoch = f.epoch();
    if (s.ok()) s = f.Joined(plan.weight);
  } else {
    // The others go on; under the turn, nothing changes the files or the
    // journal while they are read.
    JournalFile::Turn turn;
    bool missed = false;
    s = f.TakeTurn(&turn);
    end = f.end();
    epoch = f.epoch();
    if (s.ok()) s = f.Read(f.base(), end, /*mapped=*/true, note, &journal_->read_buffer, &missed);
    if (s.ok()) s = ReadState(&plan, map, /*alone=*/false);
    for (const auto& [path, token] : plan.drops) journal_->asides.push_back(AsidePath(path, token));
  }
  if (!s.ok()) return s;
  PassGate(Gate::kJoined);
  journal_->applied = end;
  journal_->epoch = epoch;
  if (durability_ == Durability::kProcess) {
    StartPeriodicSync(journal_->file.get());
    journal_->periodic = true;
  }
  let_go.opened = true;
  return Status();
}

Status Database::NoteRecord(uint64_t position, const uint8_t* data, size_t size,
                            ReplayPlan* plan) const {
  const JournalFile& file = *journal_->file;
  RecordReader r(data, size);
  RecordType type;
  if (!r.Type(&type)) return Damaged(file, position, "is of no known kind");
  plan->weight += JournalFile::kFrameHeader + size;
  std::string_view name;
  uint64_t n = 0;
  bool ok = true;
  auto named = [&](bool afresh) {
    plan->Name(name);
    if (afresh) plan->Skip(name, position);
  };
  switch (type) {
    case RecordType::kInsert: {
      uint8_t created;
      ok = r.Text(&name) && r.Byte(&created);
      if (ok) named(created != 0);
      break;
    }
    case RecordType::kLoad:
      ok = Count(&r, size, 3, &n);
      for (uint64_t g = 0; ok && g < n; ++g) {
        uint8_t created;
        uint64_t docs;
        ok = r.Text(&name) && r.Byte(&created) && Count(&r, size, 1, &docs);
        for (uint64_t d = 0; ok && d < docs; ++d) ok = SkipDocument(&r);
        if (ok) named(created != 0);
      }
      ok = ok && r.done();
      break;
    case RecordType::kCreate:
      ok = r.Text(&name) && r.done();
      if (ok) named(true);
      break;
    case RecordType::kDrop:
      ok = Count(&r, size, 2, &n);
      for (uint64_t i = 0; ok && i < n; ++i) {
        uint64_t token;
        ok = r.Text(&name) && r.Varint(&token);
        if (ok) named(true);
        if (ok && token != 0) plan->drops.emplace_back(CollectionFilePath(name_, name), token);
      }
      ok = ok && r.done();
      break;
    case RecordType::kFold: {
      uint64_t at;
      ok = r.Varint(&at) && Count(&r, size, 7, &n) && at <= position;
      for (uint64_t i = 0; ok && i < n; ++i) {
        ReplayPlan::FoldNote note;
        ok = r.Text(&name) && r.Identity(&note.identity);
        note.position = at;
        note.name = name;
        if (ok) plan->folds.push_back(std::move(note));
      }
      ok = ok && r.done();
      break;
    }
    case RecordType::kUpdateAt:
    case RecordType::kUpdate:
    case RecordType::kRemove:
      ok = r.Text(&name);
      if (ok) named(false);
      break;
  }
  if (!ok) return Damaged(file, position, "cannot be read");
  return Status();
}

Status Database::ReadState(ReplayPlan* plan, CollectionMap* map, bool alone) const {
  if (alone) RestoreAsides(*plan);
  if (Status s = LoadFiles(map); !s.ok()) return s;
  // A fold's file holds its collection when it is the file the fold wrote.
  for (const ReplayPlan::FoldNote& f : plan->folds) {
    FileIdentity now;
    if (IdentityOfPath(CollectionFilePath(name_, f.name), &now) && now == f.identity) {
      plan->Skip(f.name, f.position);
    }
  }
  ReplayContext cx;
  JournalFile& file = *journal_->file;
  bool missed = false;
  if (Status s = file.Read(
          file.base(), file.end(), /*mapped=*/true,
          [&](uint64_t position, const uint8_t* data, size_t size) {
            return ApplyRecord(position, data, size, *plan, &cx, map);
          },
          &journal_->read_buffer, &missed);
      !s.ok()) {
    return s;
  }
  if (Status s = FlushReplay(&cx); !s.ok()) return s;
  // Another object may be making a collection's file (under the turn this
  // one does not hold then): only an object alone makes missing ones.
  if (alone) MakeMissingFiles(map);
  return Status();
}

void Database::MakeMissingFiles(CollectionMap* map) const {
  // A collection made by a record whose call did not live to make its file
  // (the file comes after the record): it is made now, as the call would
  // have, since what other calls do depends on it (create_collection
  // leaves a collection alone whose file exists).
  for (const auto& [name, c] : *map) {
    if (c->changed_at == 0) continue;  // from a file, loaded
    NewCollection made;
    made.path = CollectionFilePath(name_, name);
    if (PathExists(made.path)) continue;
    made.collection = c;
    made.file_after_record = true;
    MakeDeferredFile(&made);
  }
}

void Database::RestoreAsides(const ReplayPlan& plan) const {
  // Files set aside by the drops the journal holds go.
  std::unordered_set<std::string> recorded;
  for (const auto& [path, token] : plan.drops) {
    std::string aside = AsidePath(path, token);
    SysError ignored;
    RemoveFile(aside, &ignored);
    recorded.insert(std::move(aside));
  }
  // A file set aside by a drop the journal does not hold: the process died
  // before the drop was recorded, so the drop did not happen and the file
  // goes back. Such files are looked for in the directory and in those of
  // the collections the journal names.
  std::unordered_set<std::string> dirs{name_};
  for (const std::string& n : plan.names)
    dirs.insert(ParentDirectory(CollectionFilePath(name_, n)));
  for (const std::string& dir : dirs) {
    std::vector<std::string> entries;
    SysError e;
    if (!ListDirectory(dir, /*strict=*/false, &entries, &e)) continue;
    for (const std::string& entry : entries) {
      std::string target;
      uint64_t token;
      std::string aside = JoinPath(dir, entry);
      if (!ParseAsidePath(aside, &target, &token) || recorded.count(aside) != 0) continue;
      SysError ignored;
      if (!EntryExists(target)) RenameFile(aside, target, &ignored);
    }
  }
}

void Database::NoteFileMade(std::string_view name, Collection* c) const {
  // The file the recorded call made, or what a fold put in its place: this
  // object's own, as far as a later write's check is concerned.
  std::string path = CollectionFilePath(name_, name);
  FileIdentity id;
  if (IdentityOfPath(path, &id)) {
    NoteContentOfPath(path, &id);
    c->file_seen = id;
  }
}

Status Database::ReplayTarget(std::string_view name, uint64_t position, CollectionMap* map,
                              CollectionPtr* out) const {
  auto it = map->find(name);
  if (it == map->end()) {
    // The call that appended this record loaded the collection on demand.
    if (!LoadFromDisk(name, map).ok()) {
      return Damaged(*journal_->file, position,
                     "changes the collection '" + std::string(name) +
                         "', which neither a collection file nor an earlier record holds");
    }
    it = map->find(name);
  }
  *out = it->second;
  return Status();
}

Status Database::ApplyRecord(uint64_t position, const uint8_t* data, size_t size,
                             const ReplayPlan& plan, ReplayContext* cx, CollectionMap* map) const {
  const JournalFile& file = *journal_->file;
  auto damaged = [&] { return Damaged(file, position, "cannot be read"); };
  RecordReader r(data, size);
  RecordType type;
  if (!r.Type(&type)) return damaged();
  if (type != RecordType::kUpdateAt) {
    if (Status s = FlushReplay(cx); !s.ok()) return s;
  }
  // Documents appended to `name`, made afresh (with none) when `created`.
  auto insert = [&](std::string_view name, bool created) -> Status {
    uint64_t n;
    if (!Count(&r, size, 1, &n)) return damaged();
    std::vector<Value> docs;
    docs.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* doc;
      size_t doc_size;
      if (!r.Document(&doc, &doc_size)) return damaged();
      docs.push_back(cx->arena.CopyOf(doc, doc_size));
    }
    if (!plan.Applies(name, position)) return Status();
    CollectionPtr c;
    if (created) {
      c = MakeCollection(std::move(docs));
      NoteFileMade(name, c.get());
      (*map)[std::string(name)] = c;
    } else {
      if (Status s = ReplayTarget(name, position, map, &c); !s.ok()) return s;
      MakeRoom(c->docs, docs.size());
      for (Value& d : docs) c->docs.push_back(std::move(d));
      c->Touch();
    }
    c->changed_at = position + 1;
    return Status();
  };
  std::string_view name;
  Status s;
  switch (type) {
    case RecordType::kInsert: {
      uint8_t created;
      if (!r.Text(&name) || !r.Byte(&created)) return damaged();
      s = insert(name, created != 0);
      break;
    }
    case RecordType::kLoad: {
      uint64_t groups;
      if (!Count(&r, size, 3, &groups)) return damaged();
      for (uint64_t g = 0; s.ok() && g < groups; ++g) {
        uint8_t created;
        if (!r.Text(&name) || !r.Byte(&created)) return damaged();
        s = insert(name, created != 0);
      }
      break;
    }
    case RecordType::kUpdateAt:
      if (!r.Text(&name)) return damaged();
      s = ReplayUpdateAt(name, position, plan, &r, cx, map);
      break;
    case RecordType::kUpdate:
      if (!r.Text(&name)) return damaged();
      s = ReplayUpdate(name, position, plan, &r, map);
      break;
    case RecordType::kRemove:
      if (!r.Text(&name)) return damaged();
      s = ReplayRemove(name, position, plan, &r, map);
      break;
    case RecordType::kCreate:
      if (!r.Text(&name)) return damaged();
      if (plan.Applies(name, position)) {
        CollectionPtr c = MakeCollection();
        NoteFileMade(name, c.get());
        c->changed_at = position + 1;
        (*map)[std::string(name)] = std::move(c);
      }
      break;
    case RecordType::kDrop: {
      uint64_t n, token;
      if (!Count(&r, size, 2, &n)) return damaged();
      for (uint64_t i = 0; i < n; ++i) {
        if (!r.Text(&name) || !r.Varint(&token)) return damaged();
        if (plan.Applies(name, position)) map->erase(std::string(name));
        // The dropping object removes the file it set aside; if it could
        // not, it must be gone before the journal forgets the drop.
        if (cx->live && token != 0) {
          journal_->asides.push_back(AsidePath(CollectionFilePath(name_, name), token));
        }
      }
      break;
    }
    case RecordType::kFold:
      // Opening, the first reading took what it says; read live, it tells
      // which collections another object wrote to their files.
      return cx->live ? NoteFold(position, &r, size, map) : Status();
  }
  if (!s.ok()) return s;
  return r.done() ? Status() : damaged();
}

Status Database::NoteFold(uint64_t position, RecordReader* r, size_t size,
                          CollectionMap* map) const {
  uint64_t at, n;
  if (!r->Varint(&at) || !Count(r, size, 7, &n) || at > position) {
    return Damaged(*journal_->file, position, "cannot be read");
  }
  for (uint64_t i = 0; i < n; ++i) {
    std::string_view name;
    FileIdentity identity;
    if (!r->Text(&name) || !r->Identity(&identity)) {
      return Damaged(*journal_->file, position, "cannot be read");
    }
    // The fold's file holds the collection as of `at`, when it is in
    // place (a fold that failed to put it there, or a later change that
    // replaced it, leaves the collection to be written again).
    auto it = map->find(name);
    FileIdentity now;
    if (it == map->end() || !IdentityOfPath(CollectionFilePath(name_, name), &now) ||
        now != identity) {
      continue;
    }
    Collection& c = *it->second;
    c.file_seen = identity;
    c.folded_to = std::max(c.folded_to, at);
  }
  return r->done() ? Status() : Damaged(*journal_->file, position, "cannot be read");
}

Status Database::ReplayUpdateAt(std::string_view name, uint64_t position, const ReplayPlan& plan,
                                RecordReader* r, ReplayContext* cx, CollectionMap* map) const {
  const JournalFile& file = *journal_->file;
  const uint8_t* query;
  size_t query_size;
  std::vector<size_t>& positions = cx->positions;
  positions.clear();
  // Updates come in runs of the same query (a program changes one field
  // of one document after another): it is checked and parsed once for
  // them. Nothing is traced.
  if (!r->UncheckedDocument(&query, &query_size)) return Damaged(file, position, "cannot be read");
  std::string_view bytes(reinterpret_cast<const char*>(query), query_size);
  bool known = cx->have_update && bytes == cx->update_bytes;
  if (!known &&
      (!IsWellFormedValue(query, query_size, kMaxDocumentDepth) || !ValueRef(query).is_object())) {
    return Damaged(file, position, "cannot be read");
  }
  if (!plan.Applies(name, position)) {
    return ReadRuns(r, UINT64_MAX, nullptr) ? Status() : Damaged(file, position, "cannot be read");
  }
  CollectionPtr c;
  if (Status s = ReplayTarget(name, position, map, &c); !s.ok()) return s;
  if (!ReadRuns(r, c->docs.size(), &positions)) {
    return Damaged(file, position, "changes a document the collection does not have");
  }
  ReplayContext::Batch& batch = cx->batch;
  // A batch stays small: the documents it replaces are freed as it goes,
  // and their memory serves the next ones.
  constexpr size_t kMostInBatch = 256;
  bool joins = known && batch.collection == c && batch.positions.size() < kMostInBatch;
  for (size_t i = 0; joins && i < positions.size(); ++i)
    joins = batch.seen[positions[i]] != batch.id;
  if (!joins) {
    if (Status s = FlushReplay(cx); !s.ok()) return s;
    if (!known) {
      cx->have_update = false;
      cx->update = Update();
      if (Status s = Update::New(ValueRef(query).as_object(), &cx->update); !s.ok()) {
        return Damaged(file, position, "holds an update that fails: " + s.message());
      }
      cx->update_bytes.assign(bytes);
      cx->have_update = true;
    }
    batch.collection = c;
    if (batch.seen.size() < c->docs.size()) batch.seen.resize(c->docs.size());
  }
  for (size_t p : positions) {
    batch.seen[p] = batch.id;
    batch.positions.push_back(p);
  }
  batch.last_position = position;
  return Status();
}

Status Database::FlushReplay(ReplayContext* cx) const {
  ReplayContext::Batch& batch = cx->batch;
  if (batch.collection == nullptr) return Status();
  Collection& c = *batch.collection;
  DocumentChanges& changes = cx->changes;
  changes.patches.clear();
  changes.replacements.clear();
  Status s = PrepareChangesAt(cx->update, batch.positions, c, &changes);
  if (s.ok()) {
    c.ReserveGraveyard(changes.replacements.size());
    c.Commit(&changes, cx->update);
    c.changed_at = batch.last_position + 1;
  }
  uint64_t at = batch.last_position;
  batch.collection = nullptr;
  batch.positions.clear();
  if (++batch.id == 0) {  // after 2^32 batches: the marks start over
    std::fill(batch.seen.begin(), batch.seen.end(), 0);
    batch.id = 1;
  }
  if (!s.ok()) {
    return Damaged(*journal_->file, at, "holds an update that fails: " + s.message());
  }
  return Status();
}

Status Database::ReplayUpdate(std::string_view name, uint64_t position, const ReplayPlan& plan,
                              RecordReader* r, CollectionMap* map) const {
  const JournalFile& file = *journal_->file;
  const uint8_t* query;
  size_t query_size;
  uint8_t has_filter;
  const uint8_t* filter_doc = nullptr;
  size_t filter_size = 0;
  if (!r->Document(&query, &query_size) || !r->Byte(&has_filter) ||
      (has_filter != 0 && !r->Document(&filter_doc, &filter_size)) ||
      !ValueRef(query).is_object() || (has_filter != 0 && !ValueRef(filter_doc).is_object())) {
    return Damaged(file, position, "cannot be read");
  }
  if (!plan.Applies(name, position)) return Status();
  CollectionPtr c;
  if (Status s = ReplayTarget(name, position, map, &c); !s.ok()) return s;
  // The same update on the same documents makes the same change; nothing
  // is traced.
  Update update;
  Filter filter;
  DocumentChanges changes;
  Status s = Update::New(ValueRef(query).as_object(), &update);
  if (s.ok() && has_filter != 0) s = Filter::New(ValueRef(filter_doc).as_object(), &filter);
  if (s.ok()) {
    s = PrepareDocumentChanges(update, has_filter != 0 ? &filter : nullptr, *c, &changes);
  }
  if (!s.ok()) return Damaged(file, position, "holds an update that fails: " + s.message());
  c->ReserveGraveyard(changes.replacements.size());
  c->Commit(&changes, update);
  c->changed_at = position + 1;
  return Status();
}

Status Database::ReplayRemove(std::string_view name, uint64_t position, const ReplayPlan& plan,
                              RecordReader* r, CollectionMap* map) const {
  const JournalFile& file = *journal_->file;
  if (!plan.Applies(name, position)) {
    return ReadRuns(r, UINT64_MAX, nullptr) ? Status() : Damaged(file, position, "cannot be read");
  }
  CollectionPtr c;
  if (Status s = ReplayTarget(name, position, map, &c); !s.ok()) return s;
  std::vector<size_t> positions;
  if (!ReadRuns(r, c->docs.size(), &positions)) {
    return Damaged(file, position, "removes a document the collection does not have");
  }
  c->ReserveGraveyard(positions.size());
  c->Remove(positions);
  c->changed_at = position + 1;
  return Status();
}

Status Database::Enter() {
  if (journal_ == nullptr) return Status();
  if (Status s = EnterAlone(); !s.ok()) return s;
  return CatchUp(nullptr);
}

Status Database::EnterAlone() {
  if (ForkCount() != journal_->forks) {
    if (Status s = Reattach(); !s.ok()) return s;
  }
  // A fold in the background that failed lost nothing (the journal still
  // holds every change) and is tried again later: the call goes on.
  if (journal_->fold != nullptr && journal_->fold->done()) static_cast<void>(FinishFold());
  if (journal_->file->broken()) return Recover();
  return Status();
}

Status Database::BeginChange(PreparedChange* change) {
  if (journal_ == nullptr) return Status();
  if (Status s = EnterAlone(); !s.ok()) return s;
  if (Status s = journal_->file->TakeTurn(&change->turn); !s.ok()) return s;
  return CatchUp(&change->turn);
}

Status Database::CheckUnshared() const {
  if (journal_ != nullptr || !JournalFile::InUse(name_)) return Status();
  return Status::StorageFailed(
      "Another Moxal object has this directory open with the journal: an object without the "
      "journal would change files behind it, and a later write of that object would undo the "
      "change; open the directory with journal=\"process\" or journal=\"always\" to share it");
}

Status Database::CatchUp(JournalFile::Turn* turn) {
  Journal& j = *journal_;
  JournalFile& f = *j.file;
  // What a call costs when nobody changed anything: a few loads.
  if (!j.stale && f.end() == j.applied && f.epoch() == j.epoch && f.current()) return Status();
  JournalFile::Turn own;
  auto take_turn = [&]() -> Status {
    if (turn != nullptr) return Status();
    turn = &own;
    return f.TakeTurn(&own);
  };
  // Reading the state on disk again, and moving to a restarted journal,
  // need the files and the journal to hold still: the turn.
  if (j.stale || f.epoch() != j.epoch || !f.current()) {
    if (Status s = take_turn(); !s.ok()) return s;
    if (j.stale || f.epoch() != j.epoch) return Reload(turn);
  }
  uint64_t end = f.end();
  if (end < j.applied) {
    if (Status s = take_turn(); !s.ok()) return s;
    return Reload(turn);
  }
  ReplayPlan plan;  // replays every record
  ReplayContext cx;
  cx.live = true;
  bool missed = false;
  j.stale = true;  // until every record is applied
  Status s = f.Read(
      j.applied, end, /*mapped=*/turn != nullptr,
      [&](uint64_t position, const uint8_t* data, size_t size) {
        return ApplyRecord(position, data, size, plan, &cx, &collections_);
      },
      &j.read_buffer, &missed);
  if (s.ok() && !missed) s = FlushReplay(&cx);
  // The cached results of collections that other objects changed, dropped
  // or emptied may hold documents that are gone.
  cache_.ReleaseIf([this](std::string_view name, uint64_t stamp) {
    CollectionPtr c = FindInMemory(name);
    return c == nullptr || c->stamp != stamp;
  });
  if (missed || (!s.ok() && f.epoch() != j.epoch)) {
    // The records are in a file this object no longer has, or were cut
    // back while read: the state on disk is read again.
    if (Status t = take_turn(); !t.ok()) return t;
    return Reload(turn);
  }
  if (!s.ok()) return s;
  j.applied = end;
  j.stale = false;
  return Status();
}

Status Database::Reload(JournalFile::Turn* turn) {
  assert(turn != nullptr && turn->held());
  // Counted, for the tests that an object catching up with another's fold
  // does not read every collection again.
  PassGate(Gate::kReload);
  Journal& j = *journal_;
  JournalFile& f = *j.file;
  ReplayPlan plan;
  CollectionMap map;
  bool missed = false;
  Status s = f.Read(
      f.base(), f.end(), /*mapped=*/true,
      [&](uint64_t position, const uint8_t* data, size_t size) {
        return NoteRecord(position, data, size, &plan);
      },
      &j.read_buffer, &missed);
  if (s.ok()) s = ReadState(&plan, &map, /*alone=*/false);
  if (!s.ok()) {
    j.stale = true;  // tried again by the next call
    return s;
  }
  // A change of this object's that the journal no longer holds: cut back
  // after a failed sync (of another object: a failure of this object's
  // own is reported by Recover).
  bool lost = j.epoch != f.epoch() && j.own_end > f.end();
  collections_.swap(map);
  cache_.Reset();
  j.applied = f.end();
  j.epoch = f.epoch();
  j.own_end = 0;
  j.stale = false;
  j.next_check = 0;
  for (const auto& [path, token] : plan.drops) j.asides.push_back(AsidePath(path, token));
  if (lost && !j.failure_reported.exchange(false)) {
    return Status::StorageFailed(
               "A sync of the journal failed in another object: the changes this object made "
               "since the last sync were lost, and it reads the state on disk again")
        .WithNote("journal " + f.path());
  }
  return Status();
}

Status Database::Reattach() {
  // The journal as the parent process had it open is the parent's: its
  // locks, its fold's thread, its mutexes (which a thread of the parent
  // may have held at the fork). This process lets go of the parent's
  // lock file and leaves the rest untouched (deliberately never freed),
  // then opens the directory's journal and reads the state afresh, as a
  // new object would: memory may hold the middle of a change that another
  // thread of the parent was making.
  std::unique_ptr<Journal> parents = std::move(journal_);
  parents->file->LeaveAfterFork();
  CollectionMap map;
  if (Status s = OpenJournal(&map); !s.ok()) {
    // Kept, so that the next call tries again (and no call takes this
    // object for one without the journal).
    journal_ = std::move(parents);
    return s;
  }
  static_cast<void>(parents.release());
  collections_.swap(map);
  cache_.Reset();
  return Status();
}

Status Database::Recover() {
  WaitForFold();
  static_cast<void>(FinishFold());  // what it wrote is in place, or not: both replay alike
  Journal& j = *journal_;
  Status failure = j.file->failure();
  JournalFile::Turn turn;
  Status s = j.file->TakeTurn(&turn);
  if (s.ok()) s = j.file->CutBack(&turn, j.epoch);
  if (s.ok()) {
    j.own_end = 0;  // reported here
    s = Reload(&turn);
  }
  if (!s.ok()) {
    // Memory still holds changes the journal lost: nothing may build on
    // them, so the journal stays broken until a later call recovers.
    j.file->MarkBroken(s);
    return s;
  }
  // The calls whose changes were lost were told, when one waited for the
  // sync; else this call tells.
  if (j.failure_reported.exchange(false)) return Status();
  return failure;
}

bool Database::RemoveAsides() {
  std::vector<std::string>& asides = journal_->asides;
  std::erase_if(asides, [](const std::string& aside) {
    SysError e;
    return RemoveFile(aside, &e) || e.code == ENOENT;
  });
  return asides.empty();
}

Status Database::AppendRecord(JournalFile::Turn* turn, const RecordBuilder& r, uint64_t weight,
                              uint64_t* position, uint64_t* end) {
  std::vector<JournalFile::Piece>& pieces = journal_->pieces;
  r.Pieces(&pieces);
  if (Status s = journal_->file->Append(turn, pieces.data(), pieces.size(), weight, position);
      !s.ok()) {
    return s;
  }
  *end = *position + JournalFile::kFrameHeader + r.size();
  return Status();
}

Status Database::wait_durable(uint64_t position, uint64_t epoch) {
  Status s = journal_->file->SyncTo(position, epoch);
  if (!s.ok()) journal_->failure_reported = true;
  return s;
}

JournalFile* Database::journal_file() const {
  return journal_ != nullptr ? journal_->file.get() : nullptr;
}

Status Database::Select(std::string_view collection_name, const Converted<Value>* query,
                        CollectionPtr* collection, Filter* filter, PreparedChange* change) {
  if (Status s = change != nullptr ? BeginChange(change) : Enter(); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  if (Status s = GetOrLoad(collection_name, collection); !s.ok()) return s;
  if (query == nullptr) return Status();
  if (!query->error.ok()) return query->error;
  if (filter == nullptr) return Status();  // find parses it only when not cached
  return Filter::New(query->value.ref().as_object(), filter);
}

void Database::close() {
  if (journal_ == nullptr) return;
  if (ForkCount() != journal_->forks) {
    // A forked child that never used the object: the journal as the parent
    // had it open is the parent's (see Reattach).
    journal_->file->LeaveAfterFork();
    static_cast<void>(journal_.release());
    return;
  }
  WaitForFold();
  try {
    static_cast<void>(FinishFold());  // the journal holds whatever it did not write
  } catch (const std::bad_alloc&) {
  }
  if (journal_->periodic) {
    StopPeriodicSync(journal_->file.get());
    journal_->periodic = false;
  }
  // Whatever is not synced yet goes to stable storage now; a failure has
  // nobody left to tell. Then the journal, and this object's locks, go.
  static_cast<void>(journal_->file->SyncAll());
  journal_.reset();
}

Database::Database(std::string name, Durability durability)
    : name_(std::move(name)), durability_(durability) {}

Database::~Database() { close(); }

}  // namespace moxal
