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
// whole file where it can be had and `mapped` asks for it (no copy), else
// through a window read with pread into `buffer`. A mapping is only for a
// file nothing can cut short while it is read (a read past a cut end of a
// mapping is a fault); pread just comes back short.
class Window {
 public:
  Window(int fd, uint64_t file_end, bool mapped, std::vector<uint8_t>* buffer)
      : fd_(fd), file_end_(file_end), buf_(buffer) {
    if (!mapped || file_end == 0) return;
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
  // file cannot be read (EIO: it is shorter now). Throws std::bad_alloc.
  const uint8_t* Get(uint64_t offset, size_t n) {
    if (map_ != nullptr) return map_ + offset;
    if (offset >= start_ && offset + n <= start_ + filled_) return buf_->data() + (offset - start_);
    size_t want =
        static_cast<size_t>(std::min<uint64_t>(std::max(n, kReadWindow), file_end_ - offset));
    if (buf_->size() < want) buf_->resize(want);
    if (!ReadFully(fd_, buf_->data(), want, offset)) return nullptr;
    start_ = offset;
    filled_ = want;
    return buf_->data();
  }

 private:
  int fd_;
  uint64_t file_end_;
  std::vector<uint8_t>* buf_;
  const uint8_t* map_ = nullptr;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// Reads a journal header from `fd` (of a file of `file_size` bytes). A
// file shorter than a header is one whose making was cut short before its
// header was synced: no record can be in it, and it gets a new header.
Status ReadHeader(int fd, const std::string& path, uint64_t file_size, uint64_t* base, uint64_t* id,
                  uint64_t* synced_hint) {
  uint8_t h[JournalFile::kHeaderSize];
  if (file_size < JournalFile::kHeaderSize) {
    MakeHeader(0, RandomId(), h);
    SysError e;
    if (!WriteFullyAt(fd, h, sizeof h, 0, &e)) {
      return JournalFailure("Error writing the journal", e, path);
    }
    if (int err = SyncData(fd); err != 0) {
      return JournalFailure("Error syncing the journal", SysError::FromErrno(err), path);
    }
  } else if (!ReadFully(fd, h, sizeof h, 0)) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path);
  }
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0 || LoadU32(h + 32) != Crc32c(0, h, 32)) {
    return Status::InvalidDocument("Damaged journal: its header is not that of a moxal journal")
        .WithNote("journal " + path);
  }
  if (LoadU32(h + 8) != JournalFile::kVersion) {
    return Status::InvalidDocument("The journal is of version " + std::to_string(LoadU32(h + 8)) +
                                   ", which this version of moxal cannot read (it reads version " +
                                   std::to_string(JournalFile::kVersion) + ")")
        .WithNote("journal " + path);
  }
  *base = LoadU64(h + 16);
  *id = LoadU64(h + 24);
  uint64_t hint = LoadU64(h + kHintAt);
  bool hint_ok = LoadU32(h + kHintAt + 8) == Crc32c(0, h + kHintAt, 8) && hint >= *base;
  *synced_hint = hint_ok ? hint : *base;
  return Status();
}

// Raises `a` to `value` unless it is past it already.
void AtomicMax(std::atomic<uint64_t>& a, uint64_t value) {
  uint64_t now = a.load(std::memory_order_relaxed);
  while (now < value && !a.compare_exchange_weak(now, value, std::memory_order_release)) {
  }
}

}  // namespace

// One journal file as an object has it open: files come and go (a restart
// puts a new one in place), and each object keeps the one it reads until
// it has read what it needs of it.
struct JournalFile::Generation {
  UniqueFd fd;
  uint64_t id = 0;
  uint64_t base = 0;
  uint64_t previous = 0;  // the id of the file this one replaced (0: unknown)
  uint64_t Offset(uint64_t position) const { return position - base + kHeaderSize; }
};

JournalFile::Turn& JournalFile::Turn::operator=(Turn&& other) noexcept {
  if (this != &other) {
    End();
    file_ = other.file_;
    appended_ = other.appended_;
    weight_ = other.weight_;
    synced_ = other.synced_;
    other.file_ = nullptr;
  }
  return *this;
}

void JournalFile::Turn::End() noexcept {
  if (file_ == nullptr) return;
  file_->Discard(this);
  file_->share_->UnlockAppend();
  file_ = nullptr;
}

JournalFile::JournalFile(std::string path, std::unique_ptr<JournalShare> share, bool first)
    : path_(std::move(path)), share_(std::move(share)), first_(first) {}

JournalFile::~JournalFile() = default;  // the locks go with the share's descriptor

Status JournalFile::Open(const std::string& dir, std::unique_ptr<JournalFile>* out) {
  std::string path = JoinPath(dir, kJournalFileName);
  if (HasNul(path)) return JournalFailure("Error opening the journal", SysError::NulInPath(), path);
  std::unique_ptr<JournalShare> share;
  bool first = false;
  if (Status s = JournalShare::Open(dir, &share, &first); !s.ok()) return s;
  std::unique_ptr<JournalFile> file(new JournalFile(path, std::move(share), first));
  if (first) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
      // A new journal. The header goes in before anything else can: a file
      // shorter than a header is one whose making was cut short (Scan).
      fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd.valid()) SyncDirectory(dir);
    }
    if (!fd.valid()) {
      return JournalFailure("Error opening the journal", SysError::FromErrno(errno), path);
    }
    auto g = std::make_shared<Generation>();
    g->fd = std::move(fd);
    file->current_ = std::move(g);
  }
  *out = std::move(file);
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

JournalFile::GenerationPtr JournalFile::Current() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

bool JournalFile::current() const {
  return current_id_.load(std::memory_order_acquire) ==
         state().journal.load(std::memory_order_acquire);
}

Status JournalFile::OpenGeneration(uint64_t expect, GenerationPtr* out) const {
  auto g = std::make_shared<Generation>();
  g->fd.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
  if (!g->fd.valid()) {
    return JournalFailure("Error opening the journal", SysError::FromErrno(errno), path_);
  }
  struct stat st;
  if (::fstat(g->fd.get(), &st) != 0) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
  }
  if (static_cast<uint64_t>(st.st_size) < kHeaderSize) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(EIO), path_);
  }
  uint64_t hint;
  if (Status s = ReadHeader(g->fd.get(), path_, static_cast<uint64_t>(st.st_size), &g->base, &g->id,
                            &hint);
      !s.ok()) {
    return s;
  }
  if (expect != 0 && g->id != expect) {
    return Status::StorageFailed(
               "The journal file is not the one the objects sharing it expect: something other "
               "than moxal replaced it")
        .WithNote("journal " + path_);
  }
  *out = std::move(g);
  return Status();
}

Status JournalFile::Frames(const Generation& g, uint64_t from, uint64_t to, uint64_t trust_before,
                           bool check, bool mapped, const OnRecord& on_record,
                           std::vector<uint8_t>* buffer, uint64_t* valid_end) const {
  uint64_t file_end = g.Offset(to);
  Window window(g.fd.get(), file_end, mapped, buffer);
  uint64_t position = from;
  for (;;) {
    uint64_t offset = g.Offset(position);
    *valid_end = position;
    if (offset == file_end) return Status();
    bool whole = false;
    uint64_t size = 0;
    if (file_end - offset >= kFrameHeader) {
      const uint8_t* head = window.Get(offset, kFrameHeader);
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
  GenerationPtr current = Current();
  auto g = std::const_pointer_cast<Generation>(current);
  struct stat st;
  if (::fstat(g->fd.get(), &st) != 0) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t hint = 0;
  if (Status s = ReadHeader(g->fd.get(), path_, size, &g->base, &g->id, &hint); !s.ok()) return s;
  uint64_t file_end = std::max<uint64_t>(size, kHeaderSize);
  uint64_t valid_end = g->base;
  std::vector<uint8_t> buffer;
  if (Status s = Frames(*g, g->base, g->base + (file_end - kHeaderSize), hint, /*check=*/true,
                        /*mapped=*/true, on_record, &buffer, &valid_end);
      !s.ok()) {
    return s;
  }
  // Zeros allocated ahead go too: they are allocated again as needed.
  uint64_t kept = g->Offset(valid_end);
  if (kept != size && ::ftruncate(g->fd.get(), static_cast<off_t>(kept)) != 0) {
    return JournalFailure("Error cutting the torn end off the journal", SysError::FromErrno(errno),
                          path_);
  }
  // What a killed process appended may still wait in the page cache, not
  // synced: only what the header says is known to be. The next sync (every
  // sync writes all of the file) makes the rest durable.
  uint64_t synced = std::min(hint, valid_end);
  hint_written_ = synced;
  current_id_.store(g->id, std::memory_order_release);
  share_->SetUp(g->id, g->base, valid_end, synced, 0, kept);
  return Status();
}

Status JournalFile::Joined(uint64_t weight) {
  state().weight.fetch_add(weight, std::memory_order_relaxed);
  return share_->Joined();
}

Status JournalFile::Read(uint64_t from, uint64_t to, bool mapped, const OnRecord& on_record,
                         std::vector<uint8_t>* buffer, bool* missed) const {
  *missed = false;
  if (from >= to) return Status();
  GenerationPtr current, previous;
  {
    std::lock_guard<std::mutex> lock(mu_);
    current = current_;
    previous = previous_;
  }
  uint64_t valid_end;
  if (from < current->base) {
    // What lies before the current file's base is in the file it replaced,
    // if this object kept it.
    if (previous == nullptr || previous->id != current->previous || from < previous->base) {
      *missed = true;
      return Status();
    }
    uint64_t upto = std::min(to, current->base);
    if (Status s = Frames(*previous, from, upto, upto, true, mapped, on_record, buffer, &valid_end);
        !s.ok()) {
      return s;
    }
    from = upto;
  }
  return Frames(*current, from, to, to, true, mapped, on_record, buffer, &valid_end);
}

Status JournalFile::TakeTurn(Turn* turn) {
  assert(!turn->held());
  bool holder_died = false;
  if (!share_->LockAppend(&holder_died)) {
    return Status::StorageFailed(
        "This thread is making a change in this directory already (a call from a signal "
        "handler, while the call it interrupted holds the journal): it cannot make another "
        "before that one ends");
  }
  turn->file_ = this;
  turn->appended_ = 0;
  turn->weight_ = 0;
  turn->synced_ = 0;
  if (holder_died) {
    if (Status s = Repair(); !s.ok()) return s;
  }
  return MoveToCurrent();
}

Status JournalFile::MoveToCurrent() {
  uint64_t id = state().journal.load(std::memory_order_acquire);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (current_ != nullptr && current_->id == id) return Status();
  }
  GenerationPtr g;
  if (Status s = OpenGeneration(id, &g); !s.ok()) return s;
  std::const_pointer_cast<Generation>(g)->previous =
      state().previous.load(std::memory_order_acquire);
  std::lock_guard<std::mutex> lock(mu_);
  current_id_.store(g->id, std::memory_order_release);
  previous_ = std::move(current_);
  current_ = std::move(g);
  return Status();
}

// The turn's last holder died holding it. It may have:
//  - put a restarted journal in place without saying so in the state (the
//    file at the path has another id): the new file holds every committed
//    record from its base on, synced;
//  - appended a record, whole or in part, without publishing it: a whole
//    one is taken (its change was prepared on the state of the records
//    before it, and a journal read from disk would take it too), a partial
//    one cut off;
//  - been cutting the journal back after a failed sync: the records it
//    cut are gone, which the epoch it counted already tells every object.
// So the file is read from the synced position to its first frame that
// does not check, and the committed end set there.
Status JournalFile::Repair() {
  JournalShare::State& st = state();
  GenerationPtr g;
  if (Status s = OpenGeneration(0, &g); !s.ok()) return s;
  if (g->id != st.journal.load()) {
    st.synced.store(std::max(st.synced.load(), st.end.load()));
    st.base.store(g->base);
    st.previous.store(st.journal.load());
    st.journal.store(g->id, std::memory_order_release);
  }
  if (Status s = MoveToCurrent(); !s.ok()) return s;
  GenerationPtr current = Current();
  struct stat info;
  if (::fstat(current->fd.get(), &info) != 0) {
    return JournalFailure("Error reading the journal", SysError::FromErrno(errno), path_);
  }
  uint64_t file_end = std::max<uint64_t>(static_cast<uint64_t>(info.st_size), kHeaderSize);
  uint64_t end = st.end.load();
  uint64_t from = std::max(current->base, std::min(st.synced.load(), end));
  uint64_t valid_end = from;
  std::vector<uint8_t> buffer;
  if (Status s = Frames(
          *current, from, current->base + (file_end - kHeaderSize), from, true,
          /*mapped=*/true, [](uint64_t, const uint8_t*, size_t) { return Status(); }, &buffer,
          &valid_end);
      !s.ok()) {
    return s;
  }
  if (!CutFile(current->fd.get(), current->Offset(valid_end))) {
    return JournalFailure("Error cutting the torn end off the journal", SysError::FromErrno(errno),
                          path_);
  }
  if (valid_end < end) {
    st.epoch.fetch_add(1, std::memory_order_acq_rel);
    st.synced.store(std::min(st.synced.load(), valid_end));
  } else {
    st.weight.fetch_add(valid_end - end, std::memory_order_relaxed);
  }
  st.end.store(valid_end, std::memory_order_release);
  return Status();
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

void JournalFile::MarkBroken(Status why) {
  std::lock_guard<std::mutex> lock(mu_);
  broken_ = true;
  failure_ = std::move(why);
}

Status JournalFile::Append(Turn* turn, const Piece* pieces, size_t count, uint64_t weight,
                           uint64_t* position) {
  assert(turn->file_ == this);
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
  const Generation& g = *current_;
  uint64_t at = turn->appended_ != 0 ? turn->appended_ : state().end.load();
  uint32_t crc = FrameCrc(at, size);
  for (size_t i = 1; i < n; ++i) crc = Crc32c(crc, iov[i].iov_base, iov[i].iov_len);
  StoreU64(head, size);
  StoreU32(head + 8, crc);
  uint64_t offset = g.Offset(at);
  SysError e;
  if (!Reserve(g.fd.get(), offset + kFrameHeader + size, &e)) {
    return JournalFailure("Error writing to the journal", e, path_);
  }
  if (!WriteFullyAt(g.fd.get(), iov, n, offset, &e)) {
    // Whatever part of the frame reached the file goes again, so the next
    // record follows the last whole one.
    if (!CutFile(g.fd.get(), offset)) {
      Break(errno, "Error cutting back a failed write to the journal");
    }
    return JournalFailure("Error writing to the journal", e, path_);
  }
  *position = at;
  turn->appended_ = at + kFrameHeader + size;
  turn->weight_ += kFrameHeader + std::max(weight, size);
  return Status();
}

void JournalFile::Publish(Turn* turn) noexcept {
  if (turn->appended_ == 0) return;
  state().weight.fetch_add(turn->weight_, std::memory_order_relaxed);
  state().end.store(turn->appended_, std::memory_order_release);
  // Committed, what the turn synced counts as synced now.
  if (turn->synced_ != 0) {
    AtomicMax(state().synced, turn->synced_);
    std::lock_guard<std::mutex> lock(mu_);
    NoteSynced(*current_, turn->synced_);
  }
  turn->appended_ = 0;
  turn->weight_ = 0;
  turn->synced_ = 0;
}

bool JournalFile::CutFile(int fd, uint64_t offset) {
  uint64_t allocated = state().allocated.load();
  if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) return false;
  state().allocated.store(offset);
  // The space allocated ahead, allocated again: the file is as it was
  // before what was cut off (zeros past the records).
  if (preallocate_ && allocated > offset &&
      ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(allocated - offset)) ==
          0) {
    state().allocated.store(allocated);
  }
  return true;
}

bool JournalFile::Reserve(int fd, uint64_t needed, SysError* error) {
  std::atomic<uint64_t>& allocated = state().allocated;
  uint64_t size_now = allocated.load();
  if (needed <= size_now) return true;
  if (preallocate_) {
    uint64_t step = std::max(kAllocateStep, size_now / 8);
    uint64_t size = std::max(needed, size_now + step);
    int err =
        ::posix_fallocate(fd, static_cast<off_t>(size_now), static_cast<off_t>(size - size_now));
    if (err == ENOSPC && size > needed) {
      size = needed;  // a full disk: no more than this record needs
      err =
          ::posix_fallocate(fd, static_cast<off_t>(size_now), static_cast<off_t>(size - size_now));
    }
    if (err == 0) {
      allocated.store(size);
      return true;
    }
    if (err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
      *error = SysError::FromErrno(err);
      return false;
    }
    preallocate_ = false;  // the appends extend the file as they go
  }
  allocated.store(needed);
  return true;
}

void JournalFile::NoteSynced(const Generation& g, uint64_t position, bool at_once) {
  auto now = std::chrono::steady_clock::now();
  if (position <= hint_written_ || (!at_once && now - hint_time_ < kHintInterval)) return;
  uint8_t hint[12];
  StoreU64(hint, position);
  StoreU32(hint + 8, Crc32c(0, hint, 8));
  // Not synced now: it rides with the next sync, and until then the older
  // hint stands, which is still true. A failure costs only precision.
  SysError ignored;
  if (WriteFullyAt(g.fd.get(), hint, sizeof hint, kHintAt, &ignored)) {
    hint_written_ = position;
    hint_time_ = now;
  }
}

Status JournalFile::SyncTo(uint64_t position, uint64_t epoch) {
  JournalShare::State& st = state();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (st.epoch.load(std::memory_order_acquire) != epoch) {
      return Status::StorageFailed(
                 "The change was lost: a sync of the journal failed (in another object), and the "
                 "journal went back to what was synced before")
          .WithNote("journal " + path_);
    }
    if (st.synced.load(std::memory_order_acquire) >= position) return Status();
    if (broken_) return failure_;
    if (syncing_) {
      lock.unlock();
      PassGate(Gate::kSyncWait);  // counted, for the tests of group commit
      lock.lock();
      if (syncing_) cv_.wait(lock);
      continue;
    }
    if (current_->id != st.journal.load(std::memory_order_acquire)) {
      // Another object restarted the journal since this one last moved:
      // the restart synced every record up to its time, and what came
      // after is in the new file, which this object moves to.
      lock.unlock();
      Status moved = MoveToCurrent();
      lock.lock();
      if (!moved.ok() && st.synced.load(std::memory_order_acquire) < position) return moved;
      continue;
    }
    // This thread syncs for every record committed so far, its own and
    // those of the threads (and objects) that came while the last sync ran.
    syncing_ = true;
    GenerationPtr g = current_;
    uint64_t target = st.end.load(std::memory_order_acquire);
    uint64_t seen_epoch = st.epoch.load(std::memory_order_acquire);
    lock.unlock();
    PassGate(Gate::kSync);
    int err = SyncData(g->fd.get());
    lock.lock();
    syncing_ = false;
    if (err != 0) {
      Break(err, "Error syncing the journal");
    } else if (st.epoch.load(std::memory_order_acquire) == seen_epoch) {
      // Records a restart put in a new file meanwhile were synced by it.
      AtomicMax(st.synced, target);
      NoteSynced(*g, target);
    }
    cv_.notify_all();
  }
}

Status JournalFile::SyncTurn(Turn* turn) {
  assert(turn->file_ == this);
  GenerationPtr g = Current();
  if (broken()) return failure();
  uint64_t committed = state().end.load();
  PassGate(Gate::kSync);
  int err = SyncData(g->fd.get());
  std::lock_guard<std::mutex> lock(mu_);
  if (err != 0) {
    Break(err, "Error syncing the journal");
    return failure_;
  }
  // Only committed records count as synced: what the turn appended may
  // yet be dropped, and other records written where it was; it counts
  // once published.
  AtomicMax(state().synced, committed);
  NoteSynced(*g, committed);
  turn->synced_ = turn->appended_;
  return Status();
}

void JournalFile::Discard(Turn* turn) noexcept {
  if (turn->appended_ == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  const Generation& g = *current_;
  if (!CutFile(g.fd.get(), g.Offset(state().end.load()))) {
    Break(errno, "Error cutting back a record dropped from the journal");
  }
  turn->appended_ = 0;
  turn->weight_ = 0;
  turn->synced_ = 0;
}

Status JournalFile::SyncAll() {
  if (Status s = SyncCommitted(); !s.ok()) return s;
  Turn turn;
  if (Status s = TakeTurn(&turn); !s.ok()) return s;
  std::lock_guard<std::mutex> lock(mu_);
  const Generation& g = *current_;
  JournalShare::State& st = state();
  // The space allocated ahead goes: a journal at rest is as long as its
  // records. (Another object still appending allocates again.)
  uint64_t records_end = g.Offset(st.end.load());
  if (st.allocated.load() > records_end &&
      ::ftruncate(g.fd.get(), static_cast<off_t>(records_end)) == 0) {
    st.allocated.store(records_end);
  }
  NoteSynced(g, st.synced.load(), /*now=*/true);
  if (int err = SyncData(g.fd.get()); err != 0) {
    Break(err, "Error syncing the journal");
    return failure_;
  }
  return Status();
}

Status JournalFile::CutBack(Turn* turn, uint64_t epoch) {
  assert(turn->file_ == this);
  JournalShare::State& st = state();
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return !syncing_; });
  if (st.epoch.load() == epoch) {
    // Counted first: an object reading the records meanwhile finds them
    // cut, and the new epoch tells it why.
    st.epoch.fetch_add(1, std::memory_order_acq_rel);
    const Generation& g = *current_;
    uint64_t synced = st.synced.load();
    if (!CutFile(g.fd.get(), g.Offset(synced))) {
      return JournalFailure("Error cutting back the journal", SysError::FromErrno(errno), path_);
    }
    if (int err = SyncData(g.fd.get()); err != 0) {
      return JournalFailure("Error syncing the journal", SysError::FromErrno(err), path_);
    }
    st.end.store(synced, std::memory_order_release);
  }
  turn->appended_ = 0;
  broken_ = false;
  failure_ = Status();
  return Status();
}

Status JournalFile::Restart(Turn* turn, uint64_t from) {
  assert(turn->file_ == this);
  Publish(turn);
  JournalShare::State& st = state();
  // The new file is made without the mutex: the turn keeps every append
  // and restart out, and the mutex only guards which file is current, which
  // the other threads' reads and syncs need meanwhile (a lookup must not
  // wait for the syncs below).
  GenerationPtr old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (broken_) return failure_;
    old = current_;
  }
  uint64_t end = st.end.load();
  assert(from >= old->base && from <= end);
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
  std::vector<uint8_t> buf(std::min<uint64_t>(kReadWindow, std::max<uint64_t>(end - from, 1)));
  for (uint64_t at = from; at < end;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - at));
    if (!ReadFully(old->fd.get(), buf.data(), n, old->Offset(at))) {
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
  auto g = std::make_shared<Generation>();
  g->fd.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
  int open_error = errno;
  std::lock_guard<std::mutex> lock(mu_);
  if (!g->fd.valid()) {
    // The new file is in place but cannot be reached: nothing can be
    // appended to the old one any more.
    Break(open_error, "Error opening the new journal");
    return failure_;
  }
  g->id = LoadU64(h + 24);
  g->base = from;
  g->previous = old->id;
  // Every record the new file holds is synced; the others read the new
  // state once they see its id (stored last).
  AtomicMax(st.synced, end);
  st.allocated.store(g->Offset(end));
  st.weight.store(end - from, std::memory_order_relaxed);
  st.base.store(from, std::memory_order_release);
  st.previous.store(old->id, std::memory_order_release);
  st.journal.store(g->id, std::memory_order_release);
  hint_written_ = end;
  current_id_.store(g->id, std::memory_order_release);
  previous_ = std::move(current_);
  current_ = std::move(g);
  return Status();
}

}  // namespace moxal
