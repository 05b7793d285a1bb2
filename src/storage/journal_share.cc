#include "storage/journal_share.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "storage/fs.h"
#include "storage/journal_file.h"

namespace moxal {

namespace {

constexpr char kMagic[8] = {'M', 'O', 'X', 'A', 'L', 'S', 'H', 'M'};
constexpr uint32_t kVersion = 1;
constexpr size_t kPage = 4096;
static_assert(sizeof(JournalShare::State) <= kPage);
constexpr off_t kPresenceByte = 0;
constexpr off_t kFoldByte = 2;

Status ShareFailure(const std::string& what, int err, const std::string& path) {
  return Status::StorageFailed(what + ": " + DetailText(SysError::FromErrno(err)))
      .WithNote("journal lock " + path);
}

// The description of a lock of `type` on the one byte at `byte`.
struct flock OneByte(short type, off_t byte) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return fl;
}

// An OFD lock of `type` on one byte of `fd`'s file; with `wait`, waits for
// it. False with errno set (EAGAIN: somebody holds it).
bool Lock(int fd, short type, off_t byte, bool wait) {
  struct flock fl = OneByte(type, byte);
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

JournalShare::JournalShare(std::string path, UniqueFd fd, State* state)
    : path_(std::move(path)), fd_(std::move(fd)), state_(state) {}

JournalShare::~JournalShare() { ::munmap(state_, kPage); }

Status JournalShare::Open(const std::string& dir, std::unique_ptr<JournalShare>* out, bool* first) {
  std::string path = JoinPath(dir, kJournalLockName);
  if (HasNul(path)) return ShareFailure("Error opening the journal's lock file", EINVAL, path);
  for (;;) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) return ShareFailure("Error opening the journal's lock file", errno, path);
    bool alone = Lock(fd.get(), F_WRLCK, kPresenceByte, /*wait=*/false);
    if (!alone && errno != EAGAIN) return ShareFailure("Error locking the journal", errno, path);
    // Others wait here while a first object sets the state up.
    if (!alone && !Lock(fd.get(), F_RDLCK, kPresenceByte, /*wait=*/true)) {
      return ShareFailure("Error locking the journal", errno, path);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
      return ShareFailure("Error reading the journal's lock file", errno, path);
    if (static_cast<size_t>(st.st_size) < kPage && ::ftruncate(fd.get(), kPage) != 0) {
      return ShareFailure("Error writing the journal's lock file", errno, path);
    }
    void* page = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (page == MAP_FAILED)
      return ShareFailure("Error mapping the journal's lock file", errno, path);
    auto* state = static_cast<State*>(page);
    // Whatever the page holds is not to be trusted until this object has
    // set it up: one that comes meanwhile and finds the lock free (this
    // object died first) does it again.
    if (alone) state->ready = 0;
    if (!alone && (state->ready != 1 || std::memcmp(state->magic, kMagic, sizeof kMagic) != 0 ||
                   state->version != kVersion)) {
      // The object that was setting the state up died first: the next to
      // find itself alone does it. (Its lock is gone with it.)
      ::munmap(page, kPage);
      Lock(fd.get(), F_UNLCK, kPresenceByte, /*wait=*/false);
      continue;
    }
    out->reset(new JournalShare(std::move(path), std::move(fd), state));
    *first = alone;
    return Status();
  }
}

void JournalShare::SetUp(uint64_t journal, uint64_t base, uint64_t end, uint64_t synced,
                         uint64_t weight, uint64_t allocated) {
  State& s = *state_;
  std::memcpy(s.magic, kMagic, sizeof kMagic);
  s.version = kVersion;
  // Whatever the page held (a mutex held by a process that died, say) is
  // nobody's now: this object is alone.
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  // A thread that takes it again is told so (EDEADLK), not stuck.
  ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  ::pthread_mutex_init(&s.append, &attr);
  ::pthread_mutexattr_destroy(&attr);
  s.journal.store(journal);
  s.previous.store(0);
  s.base.store(base);
  s.end.store(end);
  s.synced.store(synced);
  s.epoch.store(0);
  s.weight.store(weight);
  s.allocated.store(allocated);
  std::atomic_thread_fence(std::memory_order_release);
  s.ready = 1;
}

Status JournalShare::Joined() {
  // Converting the lock is one step: nobody can take it exclusively in
  // between and set the state up again.
  if (!Lock(fd_.get(), F_RDLCK, kPresenceByte, /*wait=*/false)) {
    return ShareFailure("Error locking the journal", errno, path_);
  }
  return Status();
}

bool JournalShare::InUse(const std::string& dir) {
  std::string path = JoinPath(dir, kJournalLockName);
  // Most directories never had the journal: that takes no descriptor.
  struct stat st;
  if (HasNul(path) || ::stat(path.c_str(), &st) != 0) return false;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct flock fl = OneByte(F_WRLCK, kPresenceByte);
  return ::fcntl(fd.get(), F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool JournalShare::LockAppend(bool* holder_died) {
  *holder_died = false;
  int r;
  do {
    r = ::pthread_mutex_lock(&state_->append);
  } while (r == EINTR || r == EAGAIN);
  if (r == EOWNERDEAD) {
    *holder_died = true;
    ::pthread_mutex_consistent(&state_->append);
    return true;
  }
  return r == 0;
}

void JournalShare::UnlockAppend() { ::pthread_mutex_unlock(&state_->append); }

bool JournalShare::TryLockFold() { return Lock(fd_.get(), F_WRLCK, kFoldByte, /*wait=*/false); }

void JournalShare::WaitForFold() {
  // Through a descriptor of its own: this object's descriptor may hold the
  // lock for a fold of this object (another thread's), and locks of one
  // open file description do not conflict, so taking and letting go of it
  // there would let other objects fold at the same time as that one.
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid() && Lock(fd.get(), F_RDLCK, kFoldByte, /*wait=*/true)) return;  // closing lets go
  // No descriptor to be had: the caller looks again a little later.
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void JournalShare::UnlockFold() { Lock(fd_.get(), F_UNLCK, kFoldByte, /*wait=*/false); }

}  // namespace moxal
