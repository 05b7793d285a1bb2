#include "storage/replace_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "storage/background_writer.h"
#include "storage/fs.h"

namespace moxal {

namespace {

// The permission bits of the regular file at `path`, if there is one.
bool ExistingMode(const std::string& path, mode_t* mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *mode = st.st_mode & 0777;
  return true;
}

// Moves the finished temporary file to `path` unless something is there.
// Returns 0, EEXIST when something is there, or another error number.
int MoveIfAbsent(TempFile& tmp, const std::string& path) {
  if (::renameat2(AT_FDCWD, tmp.path().c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    tmp.Release();
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  // The file system cannot rename without replacing; a hard link never
  // replaces, and the temporary name goes with `tmp`.
  return ::link(tmp.path().c_str(), path.c_str()) == 0 ? 0 : errno;
}

}  // namespace

bool StagedFile::Fail(ReplaceFailure::Stage stage, const SysError& e, ReplaceFailure* failure) {
  *failure = {stage, e};
  return false;
}

bool StagedFile::Write(const std::string& target, bool keep_mode, const FillFile& fill,
                       ReplaceFailure* failure) {
  if (HasNul(target)) return Fail(ReplaceFailure::kCreate, SysError::NulInPath(), failure);
  // Made before anything is placed: once the file is in place, nothing may
  // fail (or throw for want of memory) and report the call as failed.
  target_ = target;
  dir_ = ParentDirectory(target);
  mode_t mode = 0;
  keep_mode = keep_mode && ExistingMode(target, &mode);
  SysError e;
  if (!tmp_.Create(target, &e)) return Fail(ReplaceFailure::kCreate, e, failure);
  if (keep_mode && ::fchmod(tmp_.fd(), mode) != 0) {
    return Fail(ReplaceFailure::kCreate, SysError::FromErrno(errno), failure);
  }
  {
    BackgroundWriter writer(tmp_.fd());
    auto out = std::make_unique<OutBuffer>(&writer);
    bool in_last;
    if (!fill(*out) || !out->Flush()) return Fail(ReplaceFailure::kWrite, writer.error(), failure);
    if (!writer.Finish(&in_last)) {
      return Fail(in_last ? ReplaceFailure::kFlush : ReplaceFailure::kWrite, writer.error(),
                  failure);
    }
  }
  if (::fsync(tmp_.fd()) != 0)
    return Fail(ReplaceFailure::kSync, SysError::FromErrno(errno), failure);
  // Its content and time are final once it is synced.
  FileIdentity id;
  if (IdentityOfFd(tmp_.fd(), &id)) {
    NoteContent(tmp_.fd(), &id);  // nobody else can reach the file yet
    identity_ = id;
  }
  // Some file systems report delayed write errors only at close.
  if (!tmp_.Close(&e)) return Fail(ReplaceFailure::kSync, e, failure);
  return true;
}

bool StagedFile::Stage(const std::string& path, const FillFile& fill, ReplaceFailure* failure) {
  // Through a link, the file it leads to is replaced, with its temporary
  // file beside it: the rename stays within one file system, and the link
  // stays a link.
  std::string target;
  SysError e;
  if (!FollowLinks(path, &target, &e)) return Fail(ReplaceFailure::kCreate, e, failure);
  return Write(target, /*keep_mode=*/true, fill, failure);
}

bool StagedFile::Place(ReplaceFailure* failure) {
  // Named only now: a crash in between leaves a named file behind.
  SysError e;
  if (!tmp_.Name(&e)) return Fail(ReplaceFailure::kCreate, e, failure);
  if (::rename(tmp_.path().c_str(), target_.c_str()) != 0) {
    return Fail(ReplaceFailure::kRename, SysError::FromErrno(errno), failure);
  }
  tmp_.Release();
  SyncDirectory(dir_);
  return true;
}

bool StagedFile::StageNamed(const std::string& path, const FillFile& fill,
                            ReplaceFailure* failure) {
  if (!Write(path, /*keep_mode=*/false, fill, failure)) return false;
  SysError e;
  if (!tmp_.Name(&e)) return Fail(ReplaceFailure::kCreate, e, failure);
  return true;
}

bool StagedFile::PlaceIfAbsent(ReplaceFailure* failure, bool* placed) {
  if (int err = MoveIfAbsent(tmp_, target_); err != 0) {
    if (err != EEXIST) return Fail(ReplaceFailure::kRename, SysError::FromErrno(err), failure);
    *placed = false;
    return true;
  }
  *placed = true;
  SyncDirectory(dir_);
  return true;
}

bool ReplaceFile(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                 std::optional<FileIdentity>* written) {
  StagedFile staged;
  if (!staged.Stage(path, fill, failure) || !staged.Place(failure)) return false;
  if (written != nullptr) *written = staged.identity();
  return true;
}

bool CreateFileIfAbsent(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                        bool* created, std::optional<FileIdentity>* written) {
  StagedFile staged;
  if (!staged.Write(path, /*keep_mode=*/false, fill, failure)) return false;
  SysError e;
  if (!staged.tmp_.Name(&e)) return StagedFile::Fail(ReplaceFailure::kCreate, e, failure);
  if (int err = MoveIfAbsent(staged.tmp_, path); err != 0) {
    if (err != EEXIST)
      return StagedFile::Fail(ReplaceFailure::kRename, SysError::FromErrno(err), failure);
    *created = false;
    return true;
  }
  *created = true;
  if (written != nullptr) *written = staged.identity();
  SyncDirectory(staged.dir_);
  return true;
}

}  // namespace moxal
