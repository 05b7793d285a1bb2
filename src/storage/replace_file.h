// Putting a file's new content in place in one step.
//
// The content goes into a temporary file of this write's own (temp_file.h)
// beside the target, which is synced to the device and then renamed over
// the target, after which the directory is synced. Readers see the old file
// or the new one, never a mixture; after a crash the target holds the old
// content or the new, never a mixture or nothing. With several writers of
// one target, each rename puts one writer's whole file in place and the
// last rename wins. On any failure the temporary file is removed again and
// the target is left as it was.

#ifndef MOXAL_STORAGE_REPLACE_FILE_H_
#define MOXAL_STORAGE_REPLACE_FILE_H_

#include <functional>
#include <optional>
#include <string>

#include "storage/file_identity.h"
#include "storage/os_error.h"
#include "storage/temp_file.h"
#include "values/byte_io.h"

namespace moxal {

// Which step of writing a file failed, and how.
struct ReplaceFailure {
  enum Stage {
    kCreate,  // the temporary file could not be created (or named)
    kWrite,   // the content could not be written
    kFlush,   // the last buffered bytes could not be written
    kSync,    // the temporary file could not be synced to the device
    kRename,  // the temporary file could not be put in place
  };
  Stage stage = kCreate;
  SysError error;
};

// Produces a file's content into an 8192-byte buffer; false when the buffer
// reports an output error.
using FillFile = std::function<bool(OutBuffer&)>;

// A file's new content, written beside it and synced, not yet in place:
// the first half of ReplaceFile, for a caller that must do something
// between the content being durable and the file being replaced (the
// journal notes the fold of a collection in between). Dropped unplaced,
// the temporary file goes again.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Writes what `fill` produces into a temporary file beside the file that
  // `path` leads to (links followed, as ReplaceFile does), with that file's
  // permission bits, and syncs it. False with *failure set.
  bool Stage(const std::string& path, const FillFile& fill, ReplaceFailure* failure);

  // The identity of the finished file, taken before it is placed; none when
  // it could not be examined.
  const std::optional<FileIdentity>& identity() const { return identity_; }

  // Names the file (an anonymous one gets its name only now) and renames it
  // over its target, then syncs the directory. False with *failure set
  // (kCreate for the name, kRename), the target as it was.
  bool Place(ReplaceFailure* failure);

  // For a file put in place only if nothing is at its target then: Stage
  // for `path` itself (links not followed, mode 0666 less the mask), named
  // at once, so that PlaceIfAbsent allocates nothing.
  bool StageNamed(const std::string& path, const FillFile& fill, ReplaceFailure* failure);
  // Puts the file staged by StageNamed at its target unless something is
  // there (then *placed is false and the file goes with this object), and
  // syncs the directory. Allocates nothing. False with *failure set.
  bool PlaceIfAbsent(ReplaceFailure* failure, bool* placed);

 private:
  friend bool CreateFileIfAbsent(const std::string&, const FillFile&, ReplaceFailure*, bool*,
                                 std::optional<FileIdentity>*);
  static bool Fail(ReplaceFailure::Stage stage, const SysError& e, ReplaceFailure* failure);
  // Stage for `target` itself, keeping its permission bits if `keep_mode`.
  bool Write(const std::string& target, bool keep_mode, const FillFile& fill,
             ReplaceFailure* failure);

  std::string target_;
  std::string dir_;
  TempFile tmp_;
  std::optional<FileIdentity> identity_;
};

// Replaces the file at `path` with the content `fill` produces. The new file
// keeps the permission bits of the regular file it replaces (a private file
// stays private); a new file gets 0666 less the file-creation mask. When
// `path` is a symbolic link (or a chain of them), the file it leads to is
// replaced in the same way and the link is kept; a dangling link's target
// is created. False with *failure set when any step fails (a loop of links:
// kCreate with ELOOP).
//
// When `written` is given and the file is placed, *written receives the
// identity of the new file (file_identity.h), taken from the finished
// temporary file before the rename, so that a file another writer puts
// there right after is not taken for it; none when it could not be
// examined. Untouched on failure, and when CreateFileIfAbsent places
// nothing.
bool ReplaceFile(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                 std::optional<FileIdentity>* written = nullptr);

// Puts a new file with the content `fill` produces at `path`, but only if
// nothing is there once the content is complete (a link, even a dangling
// one, is something): a file another writer put there meanwhile is kept,
// and *created is false. A crash leaves no empty or partial file at
// `path`. False with *failure set when any step fails.
bool CreateFileIfAbsent(const std::string& path, const FillFile& fill, ReplaceFailure* failure,
                        bool* created, std::optional<FileIdentity>* written = nullptr);

}  // namespace moxal

#endif  // MOXAL_STORAGE_REPLACE_FILE_H_
