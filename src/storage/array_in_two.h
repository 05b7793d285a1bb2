// Reading the array of one large collection file in two threads.

#ifndef MOXAL_STORAGE_ARRAY_IN_TWO_H_
#define MOXAL_STORAGE_ARRAY_IN_TWO_H_

#include <cstdint>
#include <vector>

#include "values/value.h"

namespace moxal {

enum class SplitRead {
  kRead,      // *elements holds every element of the array
  kInvalid,   // the text is not valid JSON
  kNotSplit,  // not read (too small, one processor, no place to split,
              // or not an array of objects): read it the ordinary way
};

// Reads the file open at `fd`, `size` bytes long, as an array of documents
// in two parts at once: this thread reads up to a place near the middle
// where an object element seems to begin, a second thread (joined before
// the call returns) reads from there. The place is a guess; it holds when
// the first part reads exactly up to it (json_reader.h), and otherwise the
// work is dropped and kNotSplit returned. Files below a few megabytes are
// not split: a thread costs more than it saves there. *elements is left
// empty unless kRead. Throws std::bad_alloc when memory runs out.
SplitRead ReadArrayInTwo(int fd, uint64_t size, std::vector<Value>* elements);

}  // namespace moxal

#endif  // MOXAL_STORAGE_ARRAY_IN_TWO_H_
