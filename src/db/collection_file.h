// Reading collection files and imported documents, with the errors users
// see when that fails.

#ifndef MOXAL_DB_COLLECTION_FILE_H_
#define MOXAL_DB_COLLECTION_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "values/status.h"
#include "values/value.h"

namespace moxal {

// Opens the file at `path` and reads one JSON value from it. When `elements`
// is given and the value is an array, the elements land there one by one
// and *out stays empty.
// Failures: OSError "Error opening document {short OS error text}" when the
// file cannot be opened; ValueError "Error deserializing JSON" for anything
// that goes wrong while reading or parsing.
Status ReadDocumentFile(const std::string& path, Value* out,
                        std::vector<Value>* elements = nullptr);

// Reads the documents of collection `collection_name` from its file at
// `path`. The stored form is a JSON array of the documents; a second form
// is accepted too: an object with a member named after the collection whose
// value is that array. Any other content is an internal failure ("called
// `Option::unwrap()` on a `None` value"). Errors of reading are those of
// ReadDocumentFile; a path that names no regular file (a directory, a FIFO,
// a socket, a device) fails at once as text that is not JSON. With `gone`
// given, a file that nothing is at any more when it is opened (not even a
// dangling link) is not an error: *gone is set and no document is read.
Status ReadCollectionFile(const std::string& path, std::string_view collection_name,
                          std::vector<Value>* docs, bool* gone = nullptr);

}  // namespace moxal

#endif  // MOXAL_DB_COLLECTION_FILE_H_
