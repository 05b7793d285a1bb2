#include "storage/file_identity.h"

#include <sys/stat.h>

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

}  // namespace moxal
