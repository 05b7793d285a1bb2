// The journal of a database directory: one file of records, appended to and
// never rewritten in place, which every object opened on the directory with
// the journal (in any process) shares. This file knows frames, positions and
// who may append; what the records mean is db/journal_record.h's.
//
// Layout. A header of kHeaderSize bytes:
//
//   0  "MOXALJNL"   magic
//   8  u32 version  kVersion
//  12  u32 0
//  16  u64 base     position of the first record
//  24  u64 id       random: tells this file from the one a restart replaces
//  32  u32 crc      CRC-32C of bytes 0..31
//  36  u32 0
//  40  u64 synced   a position up to which the records are known synced
//  48  u32 crc      CRC-32C of bytes 40..47
//  52  12 zero bytes
//
// then records, each a frame: u64 size, u32 crc, `size` payload bytes (never
// none). The crc is CRC-32C of the frame's position, its size and its
// payload, all little-endian, so a frame read at another place than it was
// written (old bytes, a stray copy) does not check. Past the last record
// the file holds zeros, allocated ahead of the appends.
//
// Positions. A record's position is base + its offset past the header: a
// number that keeps growing across restarts (a restart starts a new file
// whose base is where the records it keeps begin), so a position names one
// record for the life of the directory (but for records cut back after a
// failed sync, whose positions the next records take again: the epoch
// tells them apart).
//
// Sharing. The objects that have the journal open share its state through
// journal_share.h: where the committed records end, up to where they are
// synced, which file is the journal now. An object appends only while it
// holds the turn (the share's append lock), at the committed end; what it
// appended becomes committed, and visible to the others, when it publishes
// (at the latest when its turn ends). Every object reads the records the
// others committed from its own descriptor of the file; a restart puts a
// new file in place, and each object moves to it at its next turn, reading
// what it has not yet read of the old one from the descriptor it kept.
//
// Torn ends. A process killed while appending leaves a partial frame past
// the committed end, and a power cut may leave whatever the device wrote of
// what was not yet synced. The first object to open the journal (when no
// object in any process has it open) scans it and cuts it at the first
// frame that does not check, when it lies past the synced position of the
// header; one before it is damage, which Scan reports and leaves alone. The
// header's synced position is written after a sync, so it lags the true one
// a little (it becomes durable with the next sync): a damaged frame in that
// last stretch reads as a torn end. While objects have it open, the object
// that takes the turn after a holder died repairs the end the same way.

#ifndef MOXAL_STORAGE_JOURNAL_FILE_H_
#define MOXAL_STORAGE_JOURNAL_FILE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/file_io.h"
#include "storage/journal_share.h"
#include "storage/os_error.h"
#include "values/status.h"

namespace moxal {

// The journal's file and its lock file in a database directory. Neither
// ends in ".json", so no object loads them as collections.
inline constexpr char kJournalFileName[] = ".moxal-journal";
inline constexpr char kJournalLockName[] = ".moxal-journal.lock";

class JournalFile {
 public:
  static constexpr size_t kHeaderSize = 64;
  static constexpr size_t kFrameHeader = 12;  // u64 size, u32 crc
  static constexpr uint32_t kVersion = 1;

  // Bytes of a record to append, in order; referenced, not copied.
  struct Piece {
    const void* data;
    size_t size;
  };

  // One holding of the turn, by one thread: see TakeTurn. Ending it
  // without publishing drops what was appended during it (cut off the
  // file), then lets the next one in.
  class Turn {
   public:
    Turn() = default;
    Turn(Turn&& other) noexcept { *this = std::move(other); }
    Turn& operator=(Turn&& other) noexcept;
    ~Turn() { End(); }
    bool held() const { return file_ != nullptr; }
    void End() noexcept;

   private:
    friend class JournalFile;
    JournalFile* file_ = nullptr;
    uint64_t appended_ = 0;  // past what this turn appended, unpublished (0: none)
    uint64_t weight_ = 0;    // of that
    uint64_t synced_ = 0;    // up to where that is synced (SyncTurn)
  };

  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // Opens the journal of directory `dir`, creating it (header written and
  // synced, and the directory synced) when there is none, and joins the
  // objects that have it open. When none has (first()), this object has it
  // to itself until Joined: it must Scan, and read the state, first; the
  // others wait meanwhile. Fails with OSError when the journal cannot be
  // made or read; ValueError when it is not a journal of this version.
  static Status Open(const std::string& dir, std::unique_ptr<JournalFile>* out);

  // Whether directory `dir` holds a journal with anything past its header:
  // records an object opened without the journal would miss. A directory
  // without a journal has none.
  static bool HasRecords(const std::string& dir);
  // Whether an object, of any process, has directory `dir`'s journal open.
  static bool InUse(const std::string& dir) { return JournalShare::InUse(dir); }

  const std::string& path() const { return path_; }
  bool first() const { return first_; }

  // For the first object: reads every record from the first, checking
  // each, and calls `on_record(position, payload, size)` for it; a non-ok
  // Status from it ends the scan with that Status. A torn end (see above)
  // is cut off the file; damage before it is a ValueError naming the file
  // and the byte. Sets the shared state up. Throws std::bad_alloc.
  using OnRecord = std::function<Status(uint64_t position, const uint8_t* payload, size_t size)>;
  Status Scan(const OnRecord& on_record);
  // For the first object, once it has read the state: adds `weight` (of
  // the records it found) to the shared state and lets the others in.
  Status Joined(uint64_t weight);

  // The shared state. end() and epoch() are one load each.
  uint64_t end() const { return state().end.load(std::memory_order_acquire); }
  uint64_t epoch() const { return state().epoch.load(std::memory_order_acquire); }
  uint64_t synced() const { return state().synced.load(std::memory_order_acquire); }
  uint64_t weight() const { return state().weight.load(std::memory_order_relaxed); }
  uint64_t base() const { return state().base.load(std::memory_order_acquire); }
  // Whether this object's file is the journal now: false after another
  // object restarted it (the next turn moves to the new one).
  bool current() const;

  // Reads the committed records from `from` (a record's position) up to
  // `to` (a committed end) as Scan does, through this object's files: the
  // current one, and the one it replaced for what lies before its base. Any
  // frame that does not check is damage. *missed (then nothing was read):
  // some of them are in a file this object never had (two restarts came
  // since it last read). With `mapped`, the files are mapped (only while
  // nothing can cut them: under the turn), else read into `buffer`.
  Status Read(uint64_t from, uint64_t to, bool mapped, const OnRecord& on_record,
              std::vector<uint8_t>* buffer, bool* missed) const;

  // Waits for the turn, which one thread of one object at a time holds
  // (TakeTurn refuses a thread that holds it already). On taking it:
  // repairs what a holder that died left, and moves this object to the
  // journal file of now. Errors are OSError.
  Status TakeTurn(Turn* turn);

  // Under a turn: appends one record made of `pieces` at the committed end
  // and sets *position to its position; it is committed when the turn
  // publishes it (Publish), and dropped if the turn ends first. On failure
  // the file is cut back to what it was and an OSError is returned; if
  // even that fails the journal is broken (below).
  Status Append(Turn* turn, const Piece* pieces, size_t count, uint64_t weight, uint64_t* position);
  void Publish(Turn* turn) noexcept;
  // Under a turn: syncs every record, those the turn appended included
  // (which a change that made or moved files needs before it is applied).
  // OSError when the sync fails: the journal is then broken.
  Status SyncTurn(Turn* turn);
  // Drops what the turn appended and did not publish.
  void Discard(Turn* turn) noexcept;

  // Returns once the records before `position` (appended in `epoch`) are
  // on stable storage (fdatasync): at once when any object synced them.
  // Threads of this object that ask while a sync runs share the next one,
  // so any number of waiting callers cost one sync per round. OSError when
  // a sync fails (the journal is then broken), or when the records were cut
  // back meanwhile after a failed sync of another object.
  Status SyncTo(uint64_t position, uint64_t epoch);
  // SyncTo of every committed record.
  Status SyncCommitted() { return SyncTo(end(), epoch()); }
  // Syncs every record, and notes in the header that they are (a damaged
  // record anywhere before this point is then told from a torn end); the
  // file is cut to its records. For an object about to let go.
  Status SyncAll();

  // After a failed sync (or a failed append that could not be cut back)
  // nothing this object appended past synced() can be trusted: it refuses
  // appends and syncs, with the failure, until CutBack.
  bool broken() const;
  Status failure() const;
  void MarkBroken(Status why);
  // Under a turn, after a failed sync: cuts the journal back to synced()
  // and counts a new epoch (every object then reads the state on disk
  // again), unless another object did already since `epoch`; takes
  // appends again.
  Status CutBack(Turn* turn, uint64_t epoch);

  // Under a turn: replaces the file with a new one that holds only the
  // records from `from` (a record's position, or end()) on, whose base is
  // `from`: written beside it, synced, and renamed over it in one step.
  Status Restart(Turn* turn, uint64_t from);

  // In a forked child: lets go of the parent's locks (journal_share.h).
  // The object is of no use after, and must not be destroyed: a thread of
  // the parent may have held its mutex at the fork.
  void LeaveAfterFork() { share_->LeaveAfterFork(); }

  // One fold at a time, among every object: the fold lock.
  bool TryLockFold() { return share_->TryLockFold(); }
  void WaitForFold() { share_->WaitForFold(); }
  void UnlockFold() { share_->UnlockFold(); }

 private:
  struct Generation;
  using GenerationPtr = std::shared_ptr<const Generation>;

  JournalFile(std::string path, std::unique_ptr<JournalShare> share, bool first);
  JournalShare::State& state() const { return share_->state(); }
  GenerationPtr Current() const;
  // Opens the file at the journal's path as a generation; `expect`: the id
  // it must have (0: any).
  Status OpenGeneration(uint64_t expect, GenerationPtr* out) const;
  // Under a turn: makes the journal file of now this object's current one.
  Status MoveToCurrent();
  // Under a turn whose last holder died: see journal_file.cc.
  Status Repair();
  Status Frames(const Generation& g, uint64_t from, uint64_t to, uint64_t trust_before, bool check,
                bool mapped, const OnRecord& on_record, std::vector<uint8_t>* buffer,
                uint64_t* valid_end) const;
  void Break(int err, const char* what);
  // Makes the current file at least `needed` bytes long, allocating ahead.
  // False with *error set when the space cannot be had.
  bool Reserve(int fd, uint64_t needed, SysError* error);
  // Cuts the current file at `offset` (what was written past it goes),
  // keeping the space allocated ahead. False with errno set.
  bool CutFile(int fd, uint64_t offset);
  // Notes that the records before `position` are synced, and writes that
  // into the header now and then (always when `now`).
  void NoteSynced(const Generation& g, uint64_t position, bool now = false);

  std::string path_;
  std::unique_ptr<JournalShare> share_;
  bool first_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  GenerationPtr current_;
  GenerationPtr previous_;  // the one current_ replaced, while kept
  // current_'s id, read without mu_: every call asks whether it is current.
  std::atomic<uint64_t> current_id_{0};
  bool preallocate_ = true;
  bool syncing_ = false;
  // Written under mu_, read without it: every call asks whether the
  // journal is broken, and must not wait for an append, a sync or a
  // restart in progress.
  std::atomic<bool> broken_{false};
  Status failure_;
  uint64_t hint_written_ = 0;
  std::chrono::steady_clock::time_point hint_time_;
};

}  // namespace moxal

#endif  // MOXAL_STORAGE_JOURNAL_FILE_H_
