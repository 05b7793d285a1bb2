// Telling whether a file is still the one a process last read or wrote.
//
// A collection file is only ever replaced whole (a new file renamed over
// it), or edited by hand, so the device, inode, size and modification time
// together tell one version of it from the next: a replacement is another
// inode (or, should the number be reused, another size or time), an edit
// in place another size or time. The change time is left out on purpose:
// renaming a file renews it, and the identity of a file this process wrote
// is taken before the rename.
//
// Where the modification time cannot tell (a file system with one-second
// times), an edit in place that keeps the size may keep the time too. For those versions
// alone a hash of the contents is noted as well, and compared.

#ifndef MOXAL_STORAGE_FILE_IDENTITY_H_
#define MOXAL_STORAGE_FILE_IDENTITY_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace moxal {

struct FileIdentity {
  bool regular = false;  // a regular file, not a directory or the like
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  // A hash of the contents (NoteContent), when `hashed`. Not part of ==,
  // which compares what one stat tells: see SameVersion.
  bool hashed = false;
  uint32_t content_hash = 0;

  bool operator==(const FileIdentity& o) const {
    return regular == o.regular && device == o.device && inode == o.inode && size == o.size &&
           mtime_sec == o.mtime_sec && mtime_nsec == o.mtime_nsec;
  }
};

// The identity of what is at `path`, following links. False when nothing
// can be examined there (no file, a NUL in the path, no permission).
bool IdentityOfPath(const std::string& path, FileIdentity* out);

// The identity of the open file `fd`. False when it cannot be examined.
bool IdentityOfFd(int fd, FileIdentity* out);

// True when a later edit that keeps the size might keep the modification
// time of `id` too: the time has whole seconds only, as on file systems
// with one- or two-second times (or set so by a tool). Elsewhere times in
// nanoseconds tell one edit from the next.
bool TimesCannotTell(const FileIdentity& id);

// When TimesCannotTell(*id), notes the hash of the contents of the
// regular file `fd` (which may be open for writing only) or at `path` in
// *id. The hash is to be taken before the contents are read, or after
// they are written and before anybody else can reach the file, so that a
// change in between is taken for a change (and warned of), never missed.
// Leaves *id without a hash when the file cannot be read.
void NoteContent(int fd, FileIdentity* id);
void NoteContentOfPath(const std::string& path, FileIdentity* id);

// Whether the file at `path`, whose identity is `now`, is still the
// version `seen`: the same identity and, when `seen` holds a hash, the
// same contents (read again only then).
bool SameVersion(const std::string& path, const FileIdentity& seen, const FileIdentity& now);

}  // namespace moxal

#endif  // MOXAL_STORAGE_FILE_IDENTITY_H_
