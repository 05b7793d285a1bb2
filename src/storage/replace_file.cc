#include "storage/replace_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "storage/background_writer.h"
#include "storage/file_identity.h"
#include "storage/fs.h"
#include "storage/temp_file.h"

namespace moxal {

namespace {

enum class Placement { kReplace, kIfAbsent };

// Notes the identity of the finished file `fd` in *written, unless it
// cannot be examined: its content and time are final once it is synced.
void NoteIdentity(int fd, std::optional<FileIdentity>* written) {
  FileIdentity id;
  if (IdentityOfFd(fd, &id)) *written = id;
}

// The permission bits of the regular file at `path`, if there is one.
bool ExistingMode(const std::string& path, mode_t* mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *mode = st.st_mode & 0777;
  return true;
}

// Syncs directory `dir`, so that a rename in it survives a crash. A failure
// is ignored: the file itself is complete and in place.
void SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Moves the finished temporary file to `path` unless something is there.
// Returns 0, EEXIST when something is there, or another error number.
int PlaceIfAbsent(TempFile& tmp, const std::string& path) {
  if (::renameat2(AT_FDCWD, tmp.path().c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    tmp.Release();
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  // The file system cannot rename without replacing; a hard link never
  // replaces, and the temporary name goes with `tmp`.
  return ::link(tmp.path().c_str(), path.c_str()) == 0 ? 0 : errno;
}

bool WriteFile(const std::string& path, Placement placement, const FillFile& fill,
               ReplaceFailure* failure, bool* placed, std::optional<FileIdentity>* written) {
  auto fail = [failure](ReplaceFailure::Stage stage, SysError e) {
    *failure = {stage, e};
    return false;
  };
  if (HasNul(path)) return fail(ReplaceFailure::kCreate, SysError::NulInPath());
  // Made before anything is placed: once the file is in place, nothing may
  // fail (or throw for want of memory) and report the call as failed.
  std::string dir = ParentDirectory(path);
  mode_t mode = 0;
  bool keep_mode = placement == Placement::kReplace && ExistingMode(path, &mode);
  TempFile tmp;  // removed again on any failure below
  SysError e;
  if (!tmp.Create(path, &e)) return fail(ReplaceFailure::kCreate, e);
  if (keep_mode && ::fchmod(tmp.fd(), mode) != 0) {
    return fail(ReplaceFailure::kCreate, SysError::FromErrno(errno));
  }
  BackgroundWriter writer(tmp.fd());
  auto out = std::make_unique<OutBuffer>(&writer);
  bool in_last;
  if (!fill(*out) || !out->Flush()) return fail(ReplaceFailure::kWrite, writer.error());
  if (!writer.Finish(&in_last)) {
    return fail(in_last ? ReplaceFailure::kFlush : ReplaceFailure::kWrite, writer.error());
  }
  if (::fsync(tmp.fd()) != 0) return fail(ReplaceFailure::kSync, SysError::FromErrno(errno));
  std::optional<FileIdentity> identity;
  if (written != nullptr) NoteIdentity(tmp.fd(), &identity);
  // Some file systems report delayed write errors only at close.
  if (!tmp.Close(&e)) return fail(ReplaceFailure::kSync, e);
  if (!tmp.Name(&e)) return fail(ReplaceFailure::kCreate, e);
  if (placement == Placement::kReplace) {
    if (::rename(tmp.path().c_str(), path.c_str()) != 0) {
      return fail(ReplaceFailure::kRename, SysError::FromErrno(errno));
    }
    tmp.Release();
  } else if (int err = PlaceIfAbsent(tmp, path); err != 0) {
    if (err != EEXIST) return fail(ReplaceFailure::kRename, SysError::FromErrno(err));
    *placed = false;
    return true;
  }
  *placed = true;
  if (written != nullptr) *written = identity;
  SyncDirectory(dir);
  return true;
}

}  // namespace

bool ReplaceFile(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                 std::optional<FileIdentity>* written) {
  // Through a link, the file it leads to is replaced, with its temporary
  // file beside it: the rename stays within one file system, and the link
  // stays a link.
  std::string target;
  SysError e;
  if (!FollowLinks(path, &target, &e)) {
    *failure = {ReplaceFailure::kCreate, e};
    return false;
  }
  bool placed;
  return WriteFile(target, Placement::kReplace, fill, failure, &placed, written);
}

bool CreateFileIfAbsent(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                        bool* created, std::optional<FileIdentity>* written) {
  return WriteFile(path, Placement::kIfAbsent, fill, failure, created, written);
}

}  // namespace moxal
