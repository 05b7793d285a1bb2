// Checking that bytes from outside are a well-formed document value.
//
// The accessors of value.h trust every size and offset they read, which is
// right for blobs this process made. Bytes read back from a file (the
// journal keeps documents in their encoded form) are checked first, so a
// damaged or hostile file gives an error instead of reads out of bounds.

#ifndef MOXAL_VALUES_BLOB_CHECK_H_
#define MOXAL_VALUES_BLOB_CHECK_H_

#include <cstddef>
#include <cstdint>

namespace moxal {

// True when the `size` bytes at `data` hold exactly one encoded value that
// every accessor can walk safely: each tag known, each node inside its
// container, array bodies holding exactly their elements, object members
// laid end to end up to a table that names each member once in strictly
// rising key order, strings and keys valid UTF-8, floats finite, negative
// integers negative, and arrays and objects nested at most `max_depth`
// deep (a scalar is depth 0).
bool IsWellFormedValue(const uint8_t* data, size_t size, int max_depth);

}  // namespace moxal

#endif  // MOXAL_VALUES_BLOB_CHECK_H_
