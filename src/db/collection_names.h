// Where collections live on disk, and which names they may have.

#ifndef MOXAL_DB_COLLECTION_NAMES_H_
#define MOXAL_DB_COLLECTION_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "values/status.h"

namespace moxal {

// The file of collection `name` in directory `dir`: `name` joined to `dir`
// as a relative path (a separator added unless `dir` is empty or ends with
// one; an absolute `name` replaces `dir`), a trailing separator dropped, then
// the extension of the last component set to "json" (what follows its last
// "." replaced, or ".json" appended when it has no "." past its first
// character). A last component ".." leaves the path unchanged.
//   ("db", "users") -> "db/users.json"    ("db", "app.users") -> "db/app.json"
//   ("db", "a/b")   -> "db/a/b.json"      ("db", ".hidden")   -> "db/.hidden.json"
std::string CollectionFilePath(std::string_view dir, std::string_view name);

// The file of collection `name` relative to the database directory, in one
// form for all the names that lead to it: the path rule's file with empty
// and "." components left out. "c", "./c", "c/", "c.json" and "c.txt" all
// give "c.json"; "app", "app.users" and "app.orders" give "app.json". For
// names CheckCollectionName accepts (no ".." component, not absolute), two
// names name one file exactly when their keys are equal (symbolic links
// aside).
std::string CollectionFileKey(std::string_view name);

// The collection name a file stands for: its name up to the last "."; a name
// without "." past its first character (and "..") is its own stem.
std::string_view Stem(std::string_view file_name);

// True when the part after the last "." (not the first character) is
// exactly "json".
bool HasJsonExtension(std::string_view file_name);

// Collection names must stay inside the database directory: a name that is
// empty, absolute, has a ".." component or holds a NUL byte gives ValueError
// "Invalid collection name '{name}'".
Status CheckCollectionName(std::string_view name);

// The error for `name`, whose file is the file `path` of the collection
// `owner`: ValueError "Collection '{name}' has the file of the collection
// '{owner}' ({path})".
Status FileTaken(std::string_view name, std::string_view owner, std::string_view path);

// Where a dropped collection's file waits, with the journal, between being
// renamed away and its drop being in the journal: beside it, named
// "{path}.{16 hex digits}.moxal-drop" after a random token that the drop's
// record names. Opening the directory removes such a file when the journal
// has its drop, and renames it back when the journal does not (the drop
// never happened).
std::string AsidePath(const std::string& path, uint64_t token);
// The path an aside path stands for, and its token; false for any other
// path.
bool ParseAsidePath(std::string_view aside, std::string* path, uint64_t* token);

// True for the names of the files the journal keeps in a database
// directory (its file, its lock, a dropped collection's file set aside),
// which are not collections: collections() and drop_all leave them out.
bool IsJournalFileName(std::string_view file_name);

}  // namespace moxal

#endif  // MOXAL_DB_COLLECTION_NAMES_H_
