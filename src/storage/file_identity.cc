#include "storage/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "storage/crc32c.h"
#include "storage/fs.h"

namespace moxal {

namespace {

FileIdentity FromStat(const struct stat& st) {
  FileIdentity id;
  id.regular = S_ISREG(st.st_mode);
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.mtime_sec = st.st_mtim.tv_sec;
  id.mtime_nsec = st.st_mtim.tv_nsec;
  return id;
}

// The hash of everything `fd` holds, read from its start; false when it
// cannot be read.
bool HashContents(int fd, uint32_t* hash) {
  constexpr size_t kChunk = 1 << 16;
  auto buffer = std::make_unique<char[]>(kChunk);
  uint32_t crc = 0;
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buffer.get(), kChunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    crc = Crc32c(crc, buffer.get(), static_cast<size_t>(n));
    at += n;
  }
  *hash = crc;
  return true;
}

bool HashOfPath(const std::string& path, uint32_t* hash) {
  if (HasNul(path)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && HashContents(fd, hash);
  ::close(fd);
  return ok;
}

}  // namespace

bool IdentityOfPath(const std::string& path, FileIdentity* out) {
  struct stat st;
  if (HasNul(path) || ::stat(path.c_str(), &st) != 0) return false;
  *out = FromStat(st);
  return true;
}

bool IdentityOfFd(int fd, FileIdentity* out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *out = FromStat(st);
  return true;
}

bool TimesCannotTell(const FileIdentity& id) { return id.mtime_nsec == 0; }

void NoteContent(int fd, FileIdentity* id) {
  id->hashed = false;
  if (!id->regular || !TimesCannotTell(*id)) return;
  if (HashContents(fd, &id->content_hash)) {
    id->hashed = true;
    return;
  }
  // Open for writing only: read through another description of the file.
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  id->hashed = errno == EBADF && HashOfPath(path, &id->content_hash);
}

void NoteContentOfPath(const std::string& path, FileIdentity* id) {
  id->hashed = false;
  if (!id->regular || !TimesCannotTell(*id)) return;
  id->hashed = HashOfPath(path, &id->content_hash);
}

bool SameVersion(const std::string& path, const FileIdentity& seen, const FileIdentity& now) {
  if (!(seen == now)) return false;
  if (!seen.hashed) return true;
  uint32_t hash;
  return HashOfPath(path, &hash) && hash == seen.content_hash;
}

}  // namespace moxal
