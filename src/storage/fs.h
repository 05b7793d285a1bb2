// File-system calls on paths: the one place that turns a path into a
// system call, so every path holding a NUL byte (which the system would
// silently cut short) is caught here.

#ifndef MOXAL_STORAGE_FS_H_
#define MOXAL_STORAGE_FS_H_

#include <string>
#include <string_view>
#include <vector>

#include "storage/os_error.h"

namespace moxal {

inline bool HasNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// `dir` and a directory entry's file name joined by one separator.
std::string JoinPath(std::string_view dir, std::string_view file_name);

// The directory that holds `path`: what precedes its last separator ("/"
// for a file at the root), or "." when there is none.
std::string ParentDirectory(const std::string& path);

// True when something is at `path` (its status can be read).
bool PathExists(const std::string& path);

// True when `path` names a directory entry, even a symbolic link whose
// target is missing: the entry's own status is read, not its target's.
bool EntryExists(const std::string& path);

// The path that writing to `path` reaches: while the path names a symbolic
// link, the link's target, a relative one taken from the link's directory.
// A path that names no link (or nothing) is its own result, so a dangling
// link leads to the missing file it names. More than 40 links in a row fail
// with ELOOP, as the system's own path lookup does.
bool FollowLinks(const std::string& path, std::string* target, SysError* error);

// Creates the directory `path` (one level, mode 0777 less the umask).
bool MakeDirectory(const std::string& path, SysError* error);

// Removes the file at `path`.
bool RemoveFile(const std::string& path, SysError* error);

// Removes the directory at `path`, which must be empty.
bool RemoveDirectory(const std::string& path, SysError* error);

// Renames `from` to `to`, replacing what is at `to` (rename(2)).
bool RenameFile(const std::string& from, const std::string& to, SysError* error);

// Syncs directory `dir`, so that entries made, renamed or removed in it
// survive a crash. Failures are ignored: callers sync the directory after
// the step that counts has succeeded, and a later sync catches up.
void SyncDirectory(const std::string& dir);

// Appends the entry names of directory `dir` in listing order, "." and
// ".." left out. With `strict`, an entry that cannot be read fails the
// listing; otherwise the listing ends there quietly.
bool ListDirectory(const std::string& dir, bool strict, std::vector<std::string>* names,
                   SysError* error);

}  // namespace moxal

#endif  // MOXAL_STORAGE_FS_H_
