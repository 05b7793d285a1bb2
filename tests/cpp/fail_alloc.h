// Making one allocation fail, for tests of what code does when memory runs
// out.
//
// The test binary replaces the global operator new and delete (every
// form), and its link wraps malloc, calloc and realloc as called from
// moxal's own code (the linker's --wrap: the document blobs, the blocks
// they are carved from, the builder's buffer), so every allocation moxal
// makes, on any thread, goes through one counter. Production code carries
// nothing for it.

#ifndef MOXAL_TESTS_CPP_FAIL_ALLOC_H_
#define MOXAL_TESTS_CPP_FAIL_ALLOC_H_

#include <cstdint>

namespace moxal::testing {

// Counts allocations from now on and makes the n-th fail (n >= 1): operator
// new throws std::bad_alloc, malloc and its kin return null. Only that one
// fails; those after it succeed again.
void FailAllocation(uint64_t n);

// Stops counting. True when the allocation armed to fail was reached (and
// failed) since FailAllocation.
bool StopFailing();

}  // namespace moxal::testing

#endif  // MOXAL_TESTS_CPP_FAIL_ALLOC_H_
