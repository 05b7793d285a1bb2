// What the objects that have one directory's journal open share, whatever
// process they live in: the journal's state, in a page of the lock file
// that every one of them maps, and the locks.
//
// The state says where the journal's committed records end, up to where
// they are synced, which file is the journal now (a fold replaces it), and
// how many times the journal was cut back after a failed sync (every
// object then reads the state on disk again). An object finds out that
// nobody else changed anything by reading `end` and comparing it with what
// it applied: one load from shared memory, no system call.
//
// Locks, all released by the kernel when their holder dies:
//  - presence: a lock (OFD, on byte 0 of the lock file) each object holds
//    shared while it has the journal open. The first object takes it
//    exclusively, finds nobody else, and sets the state up from the
//    journal file before it lets others in: a state left by processes that
//    all died (or by a power cut) is never trusted.
//  - append (the turn): a robust mutex in the shared page, held while an
//    object catches up, prepares a change and appends its record, so that
//    changes have one order and each is prepared on the state all those
//    before it left; also while the journal is replaced or cut back.
//    Taking it costs no system call when nobody holds it; when its holder
//    died, the next one learns so, and repairs what it left (see
//    journal_file.cc).
//  - fold: a lock (OFD, byte 2) held while an object folds the journal
//    into the files: one fold at a time.
// OFD locks belong to the open file description, not to a process: a
// forked child lets go of its parent's and opens the lock file again.

#ifndef MOXAL_STORAGE_JOURNAL_SHARE_H_
#define MOXAL_STORAGE_JOURNAL_SHARE_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "storage/file_io.h"
#include "values/status.h"

namespace moxal {

class JournalShare {
 public:
  // The shared page.
  struct State {
    char magic[8];
    uint32_t version;
    uint32_t ready;  // set up by a first object (see above)
    pthread_mutex_t append;
    std::atomic<uint64_t> journal;    // the id of the journal file now
    std::atomic<uint64_t> previous;   // the id of the file it replaced
    std::atomic<uint64_t> base;       // its first record's position
    std::atomic<uint64_t> end;        // past the last committed record
    std::atomic<uint64_t> synced;     // up to where records are synced
    std::atomic<uint64_t> epoch;      // counts the cuts after failed syncs
    std::atomic<uint64_t> weight;     // of the records since `base` (folds)
    std::atomic<uint64_t> allocated;  // the journal file's size, space ahead included
  };
  static_assert(std::atomic<uint64_t>::is_always_lock_free);

  ~JournalShare();
  JournalShare(const JournalShare&) = delete;
  JournalShare& operator=(const JournalShare&) = delete;

  // Opens the lock file of directory `dir` (making it), maps its shared page
  // and takes the presence lock. *first: no other object has the journal
  // open; this one holds the presence exclusively, and must set the state
  // up (SetUp) and call Joined. Otherwise the state is ready to use.
  static Status Open(const std::string& dir, std::unique_ptr<JournalShare>* out, bool* first);

  // The first object's setup (the state of the journal file it scanned),
  // then letting the others in.
  void SetUp(uint64_t journal, uint64_t base, uint64_t end, uint64_t synced, uint64_t weight,
             uint64_t allocated);
  Status Joined();

  // Whether an object (of any process) has directory `dir`'s journal open:
  // what an object without the journal asks before it changes files.
  static bool InUse(const std::string& dir);

  State& state() { return *state_; }

  // Takes the append lock, waiting for it. *holder_died: its last holder
  // died holding it (the state is what it left: see journal_file.cc).
  // False when this thread holds it already (a signal handler's call made
  // while the call it interrupted holds it): waiting would never end.
  bool LockAppend(bool* holder_died);
  void UnlockAppend();

  bool TryLockFold();
  void UnlockFold();
  // Returns once no object holds the fold lock (or soon, when that cannot
  // be waited for), taking nothing.
  void WaitForFold();

  // In a forked child: closes this process's descriptor of the lock file,
  // whose open file description (and so whose locks) is the parent's, so
  // that the parent's locks go when the parent closes or dies. The object
  // is of no use after.
  void LeaveAfterFork() { fd_.reset(); }

 private:
  JournalShare(std::string path, UniqueFd fd, State* state);
  bool SetLock(short type, off_t byte, bool wait);

  std::string path_;
  UniqueFd fd_;
  State* state_;
};

}  // namespace moxal

#endif  // MOXAL_STORAGE_JOURNAL_SHARE_H_
