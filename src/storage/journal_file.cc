#include "storage/journal_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "storage/crc32c.h"
#include "storage/fs.h"
#include "storage/temp_file.h"
#include "storage/test_gate.h"
#include "values/value.h"

namespace moxal {

namespace {

constexpr char kMagic[8] = {'M', 'O', 'X', 'A', 'L', 'J', 'N', 'L'};
constexpr size_t kHintAt = 40;
// How often at most the header's synced position is rewritten: often
// enough that the stretch a damaged frame can hide in stays short, seldom
// enough that syncing a record rarely has the header's page to write too.
constexpr auto kHintInterval = std::chrono::milliseconds(50);
// Records are read through a window of this size (larger records whole).
constexpr size_t kReadWindow = size_t{1} << 20;
// Space is allocated ahead of the appends in steps of at least this, or an
// eighth of the file: few allocations, little unused space.
constexpr uint64_t kAllocateStep = uint64_t{1} << 20;
// No record is larger: a size beyond it is a torn or damaged frame. Far
// above any insert a process can hold in memory, low enough that a
// garbage size is not taken for one.
constexpr uint64_t kMaxRecord = uint64_t{1} << 40;

Status JournalFailure(const std::string& what, const SysError& e, const std::string& path) {
  return Status::StorageFailed(what + ": " + DetailText(e)).WithNote("journal " + path);
}

uint64_t RandomId() {
  uint64_t id = 0;
  if (::getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id) {
    id = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         (static_cast<uint64_t>(::getpid()) << 32);
  }
  return id;
}

// The header of a journal whose first record is at `base`.
void MakeHeader(uint64_t base, uint64_t id, uint8_t* out) {
  std::memset(out, 0, JournalFile::kHeaderSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  StoreU32(out + 8, JournalFile::kVersion);
  StoreU64(out + 16, base);
  StoreU64(out + 24, id);
  StoreU32(out + 32, Crc32c(0, out, 32));
  StoreU64(out + kHintAt, base);
  StoreU32(out + kHintAt + 8, Crc32c(0, out + kHintAt, 8));
}

// The checksum of a frame at `position` holding `size` bytes, given the
// checksum of its payload's pieces: see the layout in journal_file.h.
uint32_t FrameCrc(uint64_t position, uint64_t size) {
  uint8_t head[16];
  StoreU64(head, position);
  StoreU64(head + 8, size);
  return Crc32c(0, head, sizeof head);
}

bool ReadFully(int fd, uint8_t* data, size_t n, uint64_t offset) {
  while (n != 0) {
    ssize_t r = ::pread(fd, data, n, static_cast<off_t>(offset));
    if (r > 0) {
      data += r;
      n -= static_cast<size_t>(r);
      offset += static_cast<uint64_t>(r);
    } else if (r == 0 || errno != EINTR) {
      if (r == 0) errno = EIO;  // the file ended early: it shrank under us
      return false;
    }
  }
  return true;
}

// Writes the `n` pieces at `offset` (changing `iov` as it goes), resuming
// after short or interrupted writes. False with *error set.
bool WriteFullyAt(int fd, iovec* iov, size_t n, uint64_t offset, SysError* error) {
  size_t first = 0;
  while (first < n) {
    int count = static_cast<int>(std::min<size_t>(n - first, IOV_MAX));
    ssize_t w = ::pwritev(fd, iov + first, count, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      *error = SysError::FromErrno(errno);
      return false;
    }
    if (w == 0) {
      *error = SysError::WriteZero();
      return false;
    }
    offset += static_cast<uint64_t>(w);
    size_t done = static_cast<size_t>(w);
    while (first < n && done >= iov[first].iov_len) done -= iov[first++].iov_len;
    if (done != 0) {
      iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
      iov[first].iov_len -= done;
    }
  }
  return true;
}

bool WriteFullyAt(int fd, const void* data, size_t size, uint64_t offset, SysError* error) {
  iovec one{const_cast<void*>(data), size};
  return WriteFullyAt(fd, &one, 1, offset, error);
}

int SyncData(int fd) {
  int r;
  do {
    r = ::fdatasync(fd);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : errno;
}

// Reads of a file's bytes, for scanning frames: through a mapping of the
// whole file where it can be had (no copy), else through a window read
// with pread.
class Window {
 public:
  Window(int fd, uint64_t file_end) : fd_(fd), file_end_(file_end) {
    if (file_end == 0) return;
    void* m =
        ::mmap(nullptr, static_cast<size_t>(file_end), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (m != MAP_FAILED) {
      map_ = static_cast<const uint8_t*>(m);
      ::madvise(m, static_cast<size_t>(file_end), MADV_SEQUENTIAL);
    }
  }
  ~Window() {
    if (map_ != nullptr) ::munmap(const_cast<uint8_t*>(map_), static_cast<size_t>(file_end_));
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // The `n` bytes at `offset` (which the caller knows lie before the end),
  // contiguous; valid until the next call. Null with errno set when the
  // file cannot be read. Throws std::bad_alloc.
  const uint8_t* Get(uint64_t offset, size_t n) {
    if (map_ != nullptr) return map_ + offset;
    if (offset >= start_ && offset + n <= start_ + filled_) return buf_.data() + (offset - start_);
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(std::max(n, kReadWindow), file_end_ - offset));
    if (buf_.size() < want) buf_.resize(want);
    if (!ReadFully(fd_, buf_.data(), want, offset)) return nullptr;
    start_ = offset;
    filled_ = want;
    return buf_.data();
  }

 private:
  int fd_;
  uint64_t file_end_;
  const uint8_t* map_ = nullptr;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

}  // namespace

JournalFile::JournalFile(std::string path, UniqueFd lock, UniqueFd fd)
    : path_(std::move(path)), lock_(std::move(lock)), fd_(std::move(fd)) {}

JournalFile::~JournalFile() = default;  // the lock goes with its descriptor

Status JournalFile::Open(const std::string& dir, std::unique_ptr<JournalFile>* out) {
  std::string path = JoinPath(dir, kJournalFileName);
  std::string lock_path = JoinPath(dir, kJournalLockName);
  if (HasNul(path)) return JournalFailure("Error opening the journal", SysError::NulInPath(), path);
  UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lock.valid()) {
    return JournalFailure("Error opening the journal's lock file", SysError::FromErrno(errno),
                          path);
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      return JournalFailure("Error locking the journal", SysError::FromErrno(errno), path);
    }
    return Status::StorageFailed(
               "The journal of this directory is in use by another Moxal object (of this "
               "process or another): one object at a time may open a directory with the journal")
        .WithNote("journal " + path);
  }
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT) {
    // A new journal. The header goes in before anything else can: a file
    // shorter than a header is one whose making was cut short (Scan).
    fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) SyncDirectory(dir);
  }
  if (!fd.valid())
    return JournalFailure("Error opening the journal", SysError::FromErrno(errno), path);
  out->reset(new JournalFile(std::move(path), std::move(lock), std::move(fd)));
  return Status();
}

bool JournalFile::HasRecords(const std::string& dir) {
  std::string path = JoinPath(dir, kJournalFileName);
  struct stat st;
  if (HasNul(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) <= kHeaderSize) {
    return false;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  // Past the header: zeros (space allocated ahead), or a record's frame,
  // whole or torn.
  uint8_t frame[kFrameHeader] = {};
  ssize_t n = ::pread(fd.get(), frame, sizeof frame, kHeaderSize);
  if (n <= 0) return false;
  return std::any_of(frame, frame + n, [](uint8_t b) { return b != 0; });
}

Status JournalFile::ReadHeader(uint64_t file_size, uint64_t* synced_hint) {
  uint8_t h[kHeaderSize];
  if (file_size < kHeaderSize) {
    // Made, and cut short before its header was synced: no record can be
    // in it. It starts afresh.
    MakeHeader(0, RandomId(), h);
    SysError e;
    if (!WriteFullyAt(fd_.get(), h, sizeof h, 0, &e)) {
      return JournalFailure("Error writing the journal", e, path_);
    }
    if (int err = SyncData(fd_.get()); err != 0) {
      return JournalFailure("Error syncing the journal", SysError::FromErrno(err), path_);
    }
  } else if (!ReadFully(fd_.get(), h, sizeof h, 0)) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
  }
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || LoadU32(h + 32) != Crc32c(0, h, 32)) {
    return Status::InvalidDocument("Damaged journal: its header is not that of a moxal journal")
        .WithNote("journal " + path_);
  }
  if (LoadU32(h + 8) != kVersion) {
    return Status::InvalidDocument("The journal is of version " + std::to_string(LoadU32(h + 8)) +
                                   ", which this version of moxal cannot read (it reads version " +
                                   std::to_string(kVersion) + ")")
        .WithNote("journal " + path_);
  }
  base_ = LoadU64(h + 16);
  id_ = LoadU64(h + 24);
  uint64_t hint = LoadU64(h + kHintAt);
  bool hint_ok = LoadU32(h + kHintAt + 8) == Crc32c(0, h + kHintAt, 8) && hint >= base_;
  *synced_hint = hint_ok ? hint : base_;
  return Status();
}

Status JournalFile::Frames(uint64_t from, uint64_t file_end, uint64_t trust_before, bool check,
                           const OnRecord& on_record, uint64_t* valid_end) const {
  Window window(fd_.get(), file_end);
  uint64_t position = from;
  for (;;) {
    uint64_t offset = Offset(position);
    *valid_end = position;
    if (offset == file_end) return Status();
    bool whole = false;
    const uint8_t* head = nullptr;
    uint64_t size = 0;
    if (file_end - offset >= kFrameHeader) {
      head = window.Get(offset, kFrameHeader);
      if (head == nullptr) {
        return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
      }
      size = LoadU64(head);
      uint32_t crc = LoadU32(head + 8);
      if (size != 0 && size <= kMaxRecord && size <= file_end - offset - kFrameHeader) {
        const uint8_t* payload = window.Get(offset + kFrameHeader, static_cast<size_t>(size));
        if (payload == nullptr) {
          return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
        }
        if (!check || Crc32c(FrameCrc(position, size), payload, static_cast<size_t>(size)) == crc) {
          whole = true;
          if (Status s = on_record(position, payload, static_cast<size_t>(size)); !s.ok()) return s;
        }
      }
    }
    if (!whole) {
      if (position < trust_before) {
        return Status::InvalidDocument(
                   "Damaged journal: byte " + std::to_string(offset) +
                   " does not start a whole record, though records synced later follow it; "
                   "nothing was changed")
            .WithNote("journal " + path_);
      }
      return Status();  // a torn end: *valid_end is where it starts
    }
    position += kFrameHeader + size;
  }
}

Status JournalFile::Scan(const OnRecord& on_record) {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
  }
  uint64_t hint = 0;
  if (Status s = ReadHeader(static_cast<uint64_t>(st.st_size), &hint); !s.ok()) return s;
  uint64_t file_end = std::max<uint64_t>(static_cast<uint64_t>(st.st_size), kHeaderSize);
  uint64_t valid_end = base_;
  if (Status s = Frames(base_, file_end, hint, /*check=*/true, on_record, &valid_end); !s.ok()) {
    return s;
  }
  // Zeros allocated ahead go too: they are allocated again as needed.
  if (Offset(valid_end) != static_cast<uint64_t>(st.st_size) &&
      ::ftruncate(fd_.get(), static_cast<off_t>(Offset(valid_end))) != 0) {
    return JournalFailure("Error cutting the torn end off the journal", SysError::FromErrno(errno),
                          path_);
  }
  // What a killed process appended may still wait in the page cache, not
  // synced: only what the header says is known to be. The next sync (every
  // sync writes all of the file) makes the rest durable.
  std::lock_guard<std::mutex> lock(mu_);
  end_ = valid_end;
  synced_ = hint_written_ = std::min(hint, valid_end);
  file_size_ = Offset(valid_end);
  return Status();
}

Status JournalFile::Read(uint64_t from, bool check, const OnRecord& on_record) const {
  uint64_t end;
  {
    std::lock_guard<std::mutex> lock(mu_);
    end = end_;
  }
  assert(from >= base_ && from <= end);
  uint64_t valid_end = from;
  if (Status s = Frames(from, Offset(end), end, check, on_record, &valid_end); !s.ok()) return s;
  return Status();
}

uint64_t JournalFile::base() const {
  std::lock_guard<std::mutex> lock(mu_);
  return base_;
}

uint64_t JournalFile::end() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_;
}

uint64_t JournalFile::synced() const {
  std::lock_guard<std::mutex> lock(mu_);
  return synced_;
}

bool JournalFile::broken() const { return broken_.load(std::memory_order_acquire); }

Status JournalFile::failure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

void JournalFile::Break(int err, const char* what) {
  broken_ = true;
  failure_ = JournalFailure(what, SysError::FromErrno(err), path_);
}

Status JournalFile::Append(const Piece* pieces, size_t count, uint64_t* position) {
  // A record of a few pieces (the common one) is described on the stack.
  iovec few[8];
  std::vector<iovec> many;
  iovec* iov = few;
  if (count + 1 > std::size(few)) {
    many.resize(count + 1);
    iov = many.data();
  }
  uint8_t head[kFrameHeader];
  size_t n = 0;
  iov[n++] = iovec{head, sizeof head};
  uint64_t size = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i].size == 0) continue;
    iov[n++] = iovec{const_cast<void*>(pieces[i].data), pieces[i].size};
    size += pieces[i].size;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (broken_) return failure_;
  uint32_t crc = FrameCrc(end_, size);
  for (size_t i = 1; i < n; ++i) crc = Crc32c(crc, iov[i].iov_base, iov[i].iov_len);
  StoreU64(head, size);
  StoreU32(head + 8, crc);
  uint64_t offset = Offset(end_);
  SysError e;
  if (!Reserve(offset + kFrameHeader + size, &e)) {
    return JournalFailure("Error writing to the journal", e, path_);
  }
  if (!WriteFullyAt(fd_.get(), iov, n, offset, &e)) {
    // Whatever part of the frame reached the file goes again, so the next
    // record follows the last whole one.
    if (!CutBack(offset)) Break(errno, "Error cutting back a failed write to the journal");
    return JournalFailure("Error writing to the journal", e, path_);
  }
  *position = end_;
  end_ += kFrameHeader + size;
  return Status();
}

bool JournalFile::CutBack(uint64_t offset) {
  uint64_t allocated = file_size_;
  if (::ftruncate(fd_.get(), static_cast<off_t>(offset)) != 0) return false;
  file_size_ = offset;
  // The space allocated ahead, allocated again: the file is as it was
  // before what was cut off (zeros past the records).
  if (preallocate_ && allocated > offset &&
      ::posix_fallocate(fd_.get(), static_cast<off_t>(offset),
                        static_cast<off_t>(allocated - offset)) == 0) {
    file_size_ = allocated;
  }
  return true;
}

bool JournalFile::Reserve(uint64_t needed, SysError* error) {
  if (needed <= file_size_) return true;
  if (preallocate_) {
    uint64_t step = std::max(kAllocateStep, file_size_ / 8);
    uint64_t size = std::max(needed, file_size_ + step);
    int err = ::posix_fallocate(fd_.get(), static_cast<off_t>(file_size_),
                                static_cast<off_t>(size - file_size_));
    if (err == ENOSPC && size > needed) {
      size = needed;  // a full disk: no more than this record needs
      err = ::posix_fallocate(fd_.get(), static_cast<off_t>(file_size_),
                              static_cast<off_t>(size - file_size_));
    }
    if (err == 0) {
      file_size_ = size;
      return true;
    }
    if (err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
      *error = SysError::FromErrno(err);
      return false;
    }
    preallocate_ = false;  // the appends extend the file as they go
  }
  file_size_ = needed;
  return true;
}

void JournalFile::MarkBroken(Status why) {
  std::lock_guard<std::mutex> lock(mu_);
  broken_ = true;
  failure_ = std::move(why);
}

void JournalFile::NoteSynced(uint64_t position, bool at_once) {
  synced_ = std::max(synced_, position);
  auto now = std::chrono::steady_clock::now();
  if (synced_ <= hint_written_ || (!at_once && now - hint_time_ < kHintInterval)) return;
  uint8_t hint[12];
  StoreU64(hint, synced_);
  StoreU32(hint + 8, Crc32c(0, hint, 8));
  // Not synced now: it rides with the next sync, and until then the older
  // hint stands, which is still true. A failure costs only precision.
  SysError ignored;
  if (WriteFullyAt(fd_.get(), hint, sizeof hint, kHintAt, &ignored)) {
    hint_written_ = synced_;
    hint_time_ = now;
  }
}

Status JournalFile::SyncTo(uint64_t position) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (synced_ >= position) return Status();
    if (broken_) return failure_;
    if (syncing_) {
      lock.unlock();
      PassGate(Gate::kSyncWait);  // counted, for the tests of group commit
      lock.lock();
      if (syncing_) cv_.wait(lock);
      continue;
    }
    // This thread syncs for every record appended so far, its own and
    // those of the threads that came while the last sync ran.
    syncing_ = true;
    uint64_t target = end_;
    int fd = fd_.get();
    lock.unlock();
    PassGate(Gate::kSync);
    int err = SyncData(fd);
    lock.lock();
    syncing_ = false;
    if (err == 0) {
      NoteSynced(target);
    } else {
      Break(err, "Error syncing the journal");
    }
    cv_.notify_all();
  }
}

Status JournalFile::SyncAll() {
  if (Status s = SyncTo(end()); !s.ok()) return s;
  std::lock_guard<std::mutex> lock(mu_);
  // The space allocated ahead goes: a journal at rest is as long as its
  // records.
  if (file_size_ > Offset(end_) && ::ftruncate(fd_.get(), static_cast<off_t>(Offset(end_))) == 0) {
    file_size_ = Offset(end_);
  }
  NoteSynced(synced_, /*now=*/true);
  if (int err = SyncData(fd_.get()); err != 0) {
    Break(err, "Error syncing the journal");
    return failure_;
  }
  return Status();
}

Status JournalFile::Reset() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return !syncing_; });
  if (!CutBack(Offset(synced_))) {
    return JournalFailure("Error cutting back the journal", SysError::FromErrno(errno), path_);
  }
  if (int err = SyncData(fd_.get()); err != 0) {
    return JournalFailure("Error syncing the journal", SysError::FromErrno(err), path_);
  }
  end_ = synced_;
  broken_ = false;
  failure_ = Status();
  return Status();
}

Status JournalFile::Restart(uint64_t from) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return !syncing_; });
  if (broken_) return failure_;
  assert(from >= base_ && from <= end_);
  auto fail = [&](const char* what, const SysError& e) { return JournalFailure(what, e, path_); };
  TempFile tmp;
  SysError e;
  if (!tmp.Create(path_, &e)) return fail("Error creating a new journal", e);
  uint8_t h[kHeaderSize];
  MakeHeader(from, RandomId(), h);
  if (!WriteFullyAt(tmp.fd(), h, sizeof h, 0, &e)) {
    return fail("Error writing a new journal", e);
  }
  // The records kept: those appended since `from`, few next to those a
  // restart drops, so appends wait for the copy.
  std::vector<uint8_t> buf(std::min<uint64_t>(kReadWindow, std::max<uint64_t>(end_ - from, 1)));
  for (uint64_t at = from; at < end_;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), end_ - at));
    if (!ReadFully(fd_.get(), buf.data(), n, Offset(at))) {
      return fail("Error reading the journal", SysError::FromErrno(errno));
    }
    if (!WriteFullyAt(tmp.fd(), buf.data(), n, kHeaderSize + (at - from), &e)) {
      return fail("Error writing a new journal", e);
    }
    at += n;
  }
  if (int err = SyncData(tmp.fd()); err != 0) {
    return fail("Error syncing a new journal", SysError::FromErrno(err));
  }
  if (!tmp.Close(&e) || !tmp.Name(&e)) return fail("Error writing a new journal", e);
  if (!RenameFile(tmp.path(), path_, &e)) return fail("Error putting a new journal in place", e);
  tmp.Release();
  SyncDirectory(ParentDirectory(path_));
  UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    // The new file is in place but cannot be reached: nothing can be
    // appended to the old one any more.
    Break(errno, "Error opening the new journal");
    return failure_;
  }
  fd_ = std::move(fd);
  base_ = from;
  id_ = LoadU64(h + 24);
  synced_ = hint_written_ = end_;
  file_size_ = Offset(end_);
  return Status();
}

}  // namespace moxal
