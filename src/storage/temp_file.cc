#include "storage/temp_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "storage/fs.h"

namespace moxal {

namespace {

// 64 random bits make a collision with another write's name practically
// impossible; the few further attempts only matter when the random source
// fails and the fallback below repeats itself across processes.
constexpr int kNameAttempts = 8;

uint64_t RandomBits() {
  uint64_t bits;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == sizeof bits) return bits;
  // No entropy to be had: the process id, a counter and the clock still
  // tell this write from any other of this moment.
  static std::atomic<uint64_t> counter{0};
  uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return (static_cast<uint64_t>(::getpid()) << 40) ^ (counter.fetch_add(1) << 20) ^ now;
}

std::string UniqueName(const std::string& target) {
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%016llx.moxal-tmp",
                static_cast<unsigned long long>(RandomBits()));
  return target + suffix;
}

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

#ifdef O_TMPFILE
// An anonymous file is named through /proc/self/fd, so it is used only
// where that exists; otherwise a finished file could not be named at all.
bool CanNameAnonymousFiles() {
  static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
  return usable;
}

// The errors by which a kernel or file system refuses O_TMPFILE itself, as
// opposed to refusing to create any file there.
bool RefusesAnonymousFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }
#endif

}  // namespace

TempFile::~TempFile() {
  fd_.reset();
  handle_.reset();
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool TempFile::Create(const std::string& target, SysError* error) {
  assert(!fd_.valid() && !handle_.valid() && path_.empty());
  target_ = target;
#ifdef O_TMPFILE
  if (CanNameAnonymousFiles()) {
    std::string dir = ParentDirectory(target);
    fd_.reset(::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd_.valid()) return true;
    if (!RefusesAnonymousFiles(errno)) {
      *error = SysError::FromErrno(errno);
      return false;
    }
  }
#endif
  return CreateNamed(target, error);
}

bool TempFile::CreateNamed(const std::string& target, SysError* error) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = UniqueName(target);
    fd_.reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd_.valid()) {
      path_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) break;
  }
  *error = SysError::FromErrno(errno);
  return false;
}

bool TempFile::Close(SysError* error) {
  assert(fd_.valid());
  if (path_.empty()) {
    // Keeps the anonymous file alive and linkable once the descriptor the
    // content went through is closed.
    handle_.reset(::open(ProcPath(fd_.get()).c_str(), O_PATH | O_CLOEXEC));
    if (!handle_.valid()) {
      *error = SysError::FromErrno(errno);
      fd_.reset();
      return false;
    }
  }
  return fd_.Close(error);
}

bool TempFile::Name(SysError* error) {
  assert(!fd_.valid());
  if (!path_.empty()) return true;  // created named
  std::string handle_path = ProcPath(handle_.get());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = UniqueName(target_);
    if (::linkat(AT_FDCWD, handle_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      path_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) break;
  }
  *error = SysError::FromErrno(errno);
  return false;
}

}  // namespace moxal
