// Folding the journal into the collection files.
//
// A fold writes collections that changed since their files were written,
// so that the journal's records for them are needed no more and it can
// start afresh. One object folds at a time, among every object that has
// the journal open (the fold lock, which the fold holds from its plan to
// the end of its run). A fold goes in three steps, only the first and last
// of them under the database's borrow, so other calls go on while files
// are written:
//
//   1. Plan (Database::PlanFold, a pass over the collections' document
//      pointers): the position P up to which the object applied the
//      journal, and for each collection to write the addresses of its
//      documents. The collection is pinned (collection.h): until the fold
//      ends, none of those documents is written in place or freed, so the
//      addresses stay valid while calls change the collection.
//   2. Run (Fold::Run, without the database): each file is written beside
//      its target and synced. Then, under the journal's turn (so no change
//      comes in between): the collections that a record from P on made
//      afresh or dropped are left out (their file is that record's now); a
//      kFold record notes which file (by its identity) holds which
//      collection as of P, the journal is synced, the files are renamed
//      into place and the directory synced, and the record committed; and
//      when the fold holds every collection that changed, the journal
//      restarts at P, keeping only the records appended since.
//   3. Finish (Database::FinishFold): unpin, note the files written.
//
// A crash anywhere leaves files and a journal that replay to the same
// state. A file renamed into place has the identity its kFold record
// gives, so replay skips that collection's records before P; a file not
// renamed does not, and the records replay onto the old file. A fold that
// finds the journal cut back after a failed sync since its plan (a new
// epoch) places nothing: what it wrote may hold changes the journal lost.

#ifndef MOXAL_DB_FOLD_H_
#define MOXAL_DB_FOLD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/collection.h"
#include "storage/file_identity.h"
#include "storage/journal_file.h"
#include "storage/replace_file.h"
#include "values/status.h"

namespace moxal {

class Fold {
 public:
  struct Entry {
    std::string name;
    std::string path;
    CollectionPtr collection;          // pinned; released by the database
    std::vector<const uint8_t*> docs;  // the documents' bytes as of P
    StagedFile staged;
    bool canceled = false;  // made afresh or dropped after P: not placed
    bool placed = false;
    std::optional<FileIdentity> identity;  // of the file placed
    Status failure;
  };

  // `position`: P, in `epoch`; `restart`: the entries are every collection
  // that changed, so the journal restarts at P once all are in place.
  Fold(uint64_t position, uint64_t epoch, bool restart)
      : position_(position), epoch_(epoch), restart_(restart) {}
  // Lets go of the fold lock if the fold never ran.
  ~Fold();
  Fold(const Fold&) = delete;
  Fold& operator=(const Fold&) = delete;

  uint64_t position() const { return position_; }
  std::vector<std::unique_ptr<Entry>>& entries() { return entries_; }

  // The fold holds `journal`'s fold lock, which Run lets go of.
  void HoldsFoldLock(JournalFile* journal) { locked_ = journal; }

  // Step 2, on any thread; touches nothing but the entries' bytes and
  // files and `journal`. Cannot fail: what fails is the fold's result.
  void Run(JournalFile* journal) noexcept;

  // Runs the fold on a thread of its own. Throws std::system_error when
  // no thread can be started (nothing has run then).
  static void StartInBackground(const std::shared_ptr<Fold>& fold, JournalFile* journal);

  // Whether the fold put the file of `name` in place, with identity *id.
  bool Placed(std::string_view name, FileIdentity* id) const;

  bool done() const;
  void Wait() const;
  // Once done: the first failure (an entry's, or the journal's), or ok.
  Status result() const;
  bool restarted() const { return restarted_; }

 private:
  // Under the turn: leaves out the entries whose collections a record
  // from P on made afresh or dropped.
  Status CancelRemade(JournalFile* journal);
  bool PlaceAll(JournalFile* journal, JournalFile::Turn* turn, std::vector<Entry*>* ready,
                uint64_t* restart_at);
  bool AllPlaced() const;
  void LetGoOfLock() noexcept;

  const uint64_t position_;
  const uint64_t epoch_;
  const bool restart_;
  std::vector<std::unique_ptr<Entry>> entries_;
  JournalFile* locked_ = nullptr;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  // Set under mu_, read without it: every call asks whether the fold is
  // done, and must not wait while the fold places its files.
  std::atomic<bool> done_{false};
  bool restarted_ = false;
  Status result_;
};

// Lets go of a journal's fold lock when it goes, unless `file` was set to
// null first (a fold took the lock over).
struct FoldLockHolder {
  JournalFile* file;
  ~FoldLockHolder() {
    if (file != nullptr) file->UnlockFold();
  }
};

// The failure of writing a collection file as write reports it, noting
// the file.
Status WriteFailureStatus(const ReplaceFailure& f, const std::string& path);

}  // namespace moxal

#endif  // MOXAL_DB_FOLD_H_
