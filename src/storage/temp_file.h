// A temporary file that belongs to one write alone.
//
// Several writes (threads, objects, processes) may replace the same file at
// once. Each must write into a file that no other can open, remove or
// rename, or one write could put another's half-written file in place. On
// Linux the file is anonymous (O_TMPFILE in the target's directory): nobody
// can reach it by name, and a crash leaves nothing behind. It is given a
// unique name only when it is complete and synced, just before it is
// renamed into place. Where the file system refuses anonymous files, the
// file is created under a unique name straight away, exclusively and
// without following links.
//
// Names are "{target}.{16 hex digits}.moxal-tmp": beside the target, so a
// rename never crosses file systems; never ending in ".json", so opening a
// directory never loads one as a collection; and saying what they are, so a
// person who finds one left by a crash can tell it is debris.

#ifndef MOXAL_STORAGE_TEMP_FILE_H_
#define MOXAL_STORAGE_TEMP_FILE_H_

#include <string>

#include "storage/file_io.h"
#include "storage/os_error.h"

namespace moxal {

class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Closes the file if still open and removes its name if it has one and
  // was not kept: a write that fails at any step leaves nothing behind.
  ~TempFile();

  // Creates the file for writing beside `target`, with mode 0666 less the
  // process's file-creation mask. False with *error set on failure.
  bool Create(const std::string& target, SysError* error);

  int fd() const { return fd_.get(); }

  // Closes the descriptor, reporting the error some file systems only
  // report here. An anonymous file stays reachable for Name() through a
  // path-only handle.
  bool Close(SysError* error);

  // Gives an anonymous file its unique name (a file created named keeps
  // the one it has). Call after Close(), just before renaming: a crash
  // between the two is the only moment that leaves a file behind.
  bool Name(SysError* error);

  // The file's name once it has one.
  const std::string& path() const { return path_; }

  // The name now belongs to somebody else (it was renamed away): the
  // destructor leaves it alone.
  void Release() { path_.clear(); }

 private:
  bool CreateNamed(const std::string& target, SysError* error);

  std::string target_;
  std::string path_;  // empty while anonymous
  UniqueFd fd_;
  UniqueFd handle_;  // an anonymous file's path-only descriptor, after Close()
};

}  // namespace moxal

#endif  // MOXAL_STORAGE_TEMP_FILE_H_
