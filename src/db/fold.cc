#include "db/fold.h"

#include <algorithm>
#include <thread>

#include "db/journal_record.h"
#include "storage/os_error.h"
#include "storage/test_gate.h"
#include "values/json_writer.h"

namespace moxal {

Status WriteFailureStatus(const ReplaceFailure& f, const std::string& path) {
  Status s;
  switch (f.stage) {
    case ReplaceFailure::kCreate:
      s = Status::StorageFailed("Problem creating temporary file: " + DetailText(f.error));
      break;
    case ReplaceFailure::kWrite:
      s = Status::WriteFailed("Error serializing JSON");
      break;
    case ReplaceFailure::kFlush:
      s = Status::FlushFailed(std::string(kUnwrapErrPrefix) + DetailText(f.error));
      break;
    case ReplaceFailure::kSync:
      s = Status::StorageFailed("Error syncing file: " + DetailText(f.error));
      break;
    case ReplaceFailure::kRename:
      s = Status::StorageFailed("Error renaming file: " + DetailText(f.error));
      break;
  }
  std::string note = "while writing the collection file " + path;
  // The message of a failed write is fixed; what the system said goes in
  // the note.
  if (f.stage == ReplaceFailure::kWrite && (f.error.code != 0 || f.error.message != nullptr)) {
    note += ": " + ShortText(f.error);
  }
  return std::move(s).WithNote(note);
}

namespace {

// The documents as one compact JSON array: "[", the documents separated by
// ",", "]".
bool WriteArray(const std::vector<const uint8_t*>& docs, OutBuffer& out) {
  out.Put('[');
  for (size_t i = 0; i < docs.size(); ++i) {
    if (i != 0) out.Put(',');
    if (!WriteJson(ValueRef(docs[i]), out)) return false;
  }
  out.Put(']');
  return out.ok();
}

}  // namespace

Fold::~Fold() { LetGoOfLock(); }

void Fold::LetGoOfLock() noexcept {
  if (locked_ != nullptr) locked_->UnlockFold();
  locked_ = nullptr;
}

void Fold::Run(JournalFile* journal) noexcept {
  PassGate(Gate::kFold);
  std::vector<Entry*> ready;
  try {
    ready.reserve(entries_.size());
    for (auto& e : entries_) {
      ReplaceFailure f;
      if (e->staged.Stage(e->path, [&](OutBuffer& out) { return WriteArray(e->docs, out); }, &f)) {
        ready.push_back(e.get());
      } else {
        e->failure = WriteFailureStatus(f, e->path);
      }
    }
    JournalFile::Turn turn;
    Status s = journal->TakeTurn(&turn);
    if (s.ok() && journal->epoch() != epoch_) {
      s = Status::StorageFailed(
          "The journal went back to what was synced (a sync failed) while the fold wrote the "
          "collection files: they were not put in place");
    }
    if (s.ok()) s = CancelRemade(journal);
    std::lock_guard<std::mutex> placing(mu_);
    result_ = s;
    uint64_t restart_at = position_;
    if (s.ok() && PlaceAll(journal, &turn, &ready, &restart_at) && restart_ && AllPlaced()) {
      // Not restarting loses nothing: the journal only stays longer, and
      // the next fold tries again. So a failure here fails no write.
      try {
        restarted_ = journal->Restart(&turn, restart_at).ok();
      } catch (const std::bad_alloc&) {
      }
    }
    for (auto& e : entries_) {
      if (result_.ok() && !e->failure.ok()) result_ = e->failure;
    }
  } catch (const std::bad_alloc&) {
    // Before the record is appended this writes nothing: the staged files
    // go with the entries. After it, some files may be in place: their
    // record says so, and replay skips what they hold.
    std::lock_guard<std::mutex> failing(mu_);
    result_ = Status::StorageFailed("Out of memory while folding the journal");
  }
  LetGoOfLock();
  std::lock_guard<std::mutex> ending(mu_);
  done_.store(true, std::memory_order_release);
  cv_.notify_all();
}

Status Fold::CancelRemade(JournalFile* journal) {
  std::vector<std::string> remade;
  std::vector<uint8_t> buffer;
  bool missed = false;
  Status s = journal->Read(
      position_, journal->end(), /*mapped=*/true,
      [&](uint64_t, const uint8_t* data, size_t size) {
        if (NamesMadeAfresh(data, size, &remade)) return Status();
        return Status::InvalidDocument("Damaged journal: a record cannot be read")
            .WithNote("journal " + journal->path());
      },
      &buffer, &missed);
  if (!s.ok()) return s;
  for (auto& e : entries_) {
    if (missed || std::find(remade.begin(), remade.end(), e->name) != remade.end()) {
      e->canceled = true;
    }
  }
  return Status();
}

bool Fold::AllPlaced() const {
  // A canceled entry's collection was dropped or made afresh by a change
  // after P, whose record stays; but the change may have been undone
  // meanwhile. Its records before P are then still needed: no restart.
  for (const auto& e : entries_) {
    if (!e->placed) return false;
  }
  return true;
}

bool Fold::PlaceAll(JournalFile* journal, JournalFile::Turn* turn, std::vector<Entry*>* ready,
                    uint64_t* restart_at) {
  // The record comes first, and is synced, so that no file is in place
  // before the journal can tell it was; it is committed once they are.
  std::erase_if(*ready, [](Entry* e) { return e->canceled || !e->staged.identity().has_value(); });
  if (ready->empty()) return true;
  uint64_t at = 0;
  uint64_t record_end = 0;
  try {
    RecordBuilder r;
    r.Type(RecordType::kFold);
    r.Varint(position_);
    r.Varint(ready->size());
    for (Entry* e : *ready) {
      r.Text(e->name);
      r.Identity(*e->staged.identity());
    }
    std::vector<JournalFile::Piece> pieces;
    r.Pieces(&pieces);
    result_ = journal->Append(turn, pieces.data(), pieces.size(), 0, &at);
    record_end = at + JournalFile::kFrameHeader + r.size();
  } catch (const std::bad_alloc&) {
    result_ = Status::StorageFailed("Out of memory while folding the journal");
  }
  if (result_.ok()) result_ = journal->SyncTurn(turn);
  if (!result_.ok()) return false;
  // With nothing appended between P and the record, a restart leaves the
  // record out too: the files it names are in place by then. Otherwise the
  // records from P on stay, the record among them (replaying it again
  // changes nothing).
  if (at == position_) *restart_at = record_end;
  for (Entry* e : *ready) {
    ReplaceFailure f;
    if (e->staged.Place(&f)) {
      e->placed = true;
      e->identity = e->staged.identity();
    } else {
      e->failure = WriteFailureStatus(f, e->path);
    }
  }
  journal->Publish(turn);
  return true;
}

void Fold::StartInBackground(const std::shared_ptr<Fold>& fold, JournalFile* journal) {
  std::thread([fold, journal] { fold->Run(journal); }).detach();
}

bool Fold::Placed(std::string_view name, FileIdentity* id) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& e : entries_) {
    if (e->name == name && e->placed && e->identity.has_value()) {
      *id = *e->identity;
      return true;
    }
  }
  return false;
}

bool Fold::done() const { return done_.load(std::memory_order_acquire); }

void Fold::Wait() const {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return done_.load(); });
}

Status Fold::result() const {
  std::lock_guard<std::mutex> lock(mu_);
  return result_;
}

}  // namespace moxal
