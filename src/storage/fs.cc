#include "storage/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace moxal {

namespace {

// Runs `call` on the path unless it holds a NUL byte; false with *error
// set when it fails.
template <class Call>
bool OnPath(const std::string& path, SysError* error, Call&& call) {
  if (HasNul(path)) {
    *error = SysError::NulInPath();
    return false;
  }
  if (call(path.c_str()) == 0) return true;
  *error = SysError::FromErrno(errno);
  return false;
}

}  // namespace

std::string JoinPath(std::string_view dir, std::string_view file_name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += file_name;
  return path;
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !HasNul(path) && ::stat(path.c_str(), &st) == 0;
}

bool EntryExists(const std::string& path) {
  struct stat st;
  return !HasNul(path) && ::lstat(path.c_str(), &st) == 0;
}

bool FollowLinks(const std::string& path, std::string* target, SysError* error) {
  // The limit of the Linux path lookup, so a chain it follows is followed here.
  constexpr int kMaxLinks = 40;
  if (HasNul(path)) {
    *error = SysError::NulInPath();
    return false;
  }
  std::string current = path;
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    if (links == kMaxLinks) {
      *error = SysError::FromErrno(ELOOP);
      return false;
    }
    char buf[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) == sizeof buf) {
      *error = SysError::FromErrno(n < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    std::string_view link(buf, static_cast<size_t>(n));
    if (link.starts_with('/') || current.find('/') == std::string::npos) {
      current = link;
    } else {
      current = JoinPath(ParentDirectory(current), link);
    }
  }
  *target = std::move(current);
  return true;
}

bool MakeDirectory(const std::string& path, SysError* error) {
  return OnPath(path, error, [](const char* p) { return ::mkdir(p, 0777); });
}

bool RemoveFile(const std::string& path, SysError* error) {
  return OnPath(path, error, [](const char* p) { return ::unlink(p); });
}

bool RemoveDirectory(const std::string& path, SysError* error) {
  return OnPath(path, error, [](const char* p) { return ::rmdir(p); });
}

bool RenameFile(const std::string& from, const std::string& to, SysError* error) {
  if (HasNul(from)) {
    *error = SysError::NulInPath();
    return false;
  }
  return OnPath(to, error, [&](const char* p) { return ::rename(from.c_str(), p); });
}

void SyncDirectory(const std::string& dir) {
  if (HasNul(dir)) return;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool ListDirectory(const std::string& dir, bool strict, std::vector<std::string>* names,
                   SysError* error) {
  DIR* d = nullptr;
  if (!OnPath(dir, error, [&](const char* p) { return (d = ::opendir(p)) ? 0 : -1; })) {
    return false;
  }
  // Closed however the listing ends: adding a name can run out of memory.
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(d);
    if (ent == nullptr) {
      if (errno != 0 && strict) {
        *error = SysError::FromErrno(errno);
        ok = false;
      }
      break;
    }
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    names->emplace_back(name);
  }
  return ok;
}

}  // namespace moxal
