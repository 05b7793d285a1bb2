// The journal of a database directory: one file of records, appended to and
// never rewritten in place, which the database replays after the
// collection files when it opens the directory. This file knows frames and
// positions, not what the records mean (db/journal_record.h does).
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
// record for the life of the directory.
//
// Torn ends. A process killed while appending leaves a partial frame at the
// end, and a power cut may leave whatever the device wrote of what was not
// yet synced. Scan cuts the file at the first frame that does not check,
// when it lies past the synced position of the header; one before it is
// damage, which Scan reports and leaves alone. The header's synced position
// is written after a sync, so it lags the true one a little (it becomes
// durable with the next sync): a damaged frame in that last stretch reads as
// a torn end.
//
// One object at a time. Open locks the directory's lock file (flock, which
// the kernel releases when the process dies) for the life of the object;
// another object, in this process or another, is refused while it is held.

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

  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // Opens the journal of directory `dir`, creating it (header written and
  // synced, and the directory synced) when there is none, and locks it for
  // this object. Fails with OSError when the journal cannot be made or
  // read, or is held by another object ("in use"); ValueError when it is
  // not a journal of this version. Call Scan before anything else.
  static Status Open(const std::string& dir, std::unique_ptr<JournalFile>* out);

  // Whether directory `dir` holds a journal with anything past its header:
  // records an object opened without the journal would miss. A directory
  // without a journal has none.
  static bool HasRecords(const std::string& dir);

  const std::string& path() const { return path_; }

  // Reads every record from the first, checking each, and calls
  // `on_record(position, payload, size)` for it; a non-ok Status from it
  // ends the scan with that Status. A torn end (see above) is cut off the
  // file; damage before it is a ValueError naming the file and the byte.
  // Sets where records end. Throws std::bad_alloc.
  using OnRecord = std::function<Status(uint64_t position, const uint8_t* payload, size_t size)>;
  Status Scan(const OnRecord& on_record);

  // Reads the records from `from` (a record's position, or end()) to the
  // end as Scan does, for records already scanned once: any frame that
  // does not check is damage. Without `check`, their checksums are not
  // computed again (they were, since the file was opened, and nothing
  // else writes it). The file is mapped while it is read: nothing may cut
  // it short meanwhile.
  Status Read(uint64_t from, bool check, const OnRecord& on_record) const;

  // Appends one record made of `pieces` and sets *position to its
  // position. On failure the file is cut back to what it was and an
  // OSError is returned; if even that fails the journal is broken (below).
  Status Append(const Piece* pieces, size_t count, uint64_t* position);

  uint64_t base() const;    // position of the first record
  uint64_t end() const;     // position past the last record
  uint64_t synced() const;  // position up to which the records are synced

  // Returns once the records before `position` are on stable storage
  // (fdatasync). Threads that ask while a sync runs share the next one, so
  // any number of waiting callers cost one sync per round. OSError when a
  // sync fails: the journal is then broken.
  Status SyncTo(uint64_t position);
  // Syncs every record, and notes in the header that they are (a damaged
  // record anywhere before this point is then told from a torn end); the
  // file is cut to its records. For a journal about to be closed.
  Status SyncAll();

  // After a failed sync (or a failed append that could not be cut back)
  // nothing past synced() can be trusted: the journal refuses appends and
  // syncs, with the failure, until Reset.
  bool broken() const;
  Status failure() const;
  // Cuts the file back to synced() and takes appends again: the caller has
  // gone back to the state the synced records describe.
  Status Reset();
  // Refuses appends and syncs with `why` until Reset: the caller's state
  // has gone wrong in a way the records cannot show.
  void MarkBroken(Status why);

  // Replaces the file with a new one that holds only the records from
  // `from` (a record's position, or end()) on, whose base is `from`:
  // written beside it, synced, and renamed over it in one step.
  Status Restart(uint64_t from);

 private:
  JournalFile(std::string path, UniqueFd lock, UniqueFd fd);
  Status ReadHeader(uint64_t file_size, uint64_t* synced_hint);
  Status Frames(uint64_t from, uint64_t file_end, uint64_t trust_before, bool check,
                const OnRecord& on_record, uint64_t* valid_end) const;
  void Break(int err, const char* what);
  // Makes the file at least `needed` bytes long, allocating ahead. False
  // with *error set when the space cannot be had.
  bool Reserve(uint64_t needed, SysError* error);
  // Cuts the file at `offset` (what was written past it goes), keeping the
  // space allocated ahead. False with errno set.
  bool CutBack(uint64_t offset);
  // Notes that the records before `position` are synced, and writes that
  // into the header now and then (always when `now`).
  void NoteSynced(uint64_t position, bool now = false);
  uint64_t Offset(uint64_t position) const { return position - base_ + kHeaderSize; }

  std::string path_;
  UniqueFd lock_;
  UniqueFd fd_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t base_ = 0;
  uint64_t id_ = 0;
  uint64_t end_ = 0;
  // The file's size, which runs ahead of end_: space is allocated (zeros)
  // in steps, so that a sync after an append has no new size to write,
  // only the appended bytes. False where the file system cannot.
  uint64_t file_size_ = 0;
  bool preallocate_ = true;
  uint64_t synced_ = 0;
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
