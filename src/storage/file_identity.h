// Telling whether a file is still the one a process last read or wrote.
//
// A collection file is only ever replaced whole (a new file renamed over
// it), or edited by hand, so the device, inode, size and modification time
// together tell one version of it from the next: a replacement is another
// inode (or, should the number be reused, another size or time), an edit
// in place another size or time. The change time is left out on purpose:
// renaming a file renews it, and the identity of a file this process wrote
// is taken before the rename.

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

  bool operator==(const FileIdentity&) const = default;
};

// The identity of what is at `path`, following links. False when nothing
// can be examined there (no file, a NUL in the path, no permission).
bool IdentityOfPath(const std::string& path, FileIdentity* out);

// The identity of the open file `fd`. False when it cannot be examined.
bool IdentityOfFd(int fd, FileIdentity* out);

}  // namespace moxal

#endif  // MOXAL_STORAGE_FILE_IDENTITY_H_
