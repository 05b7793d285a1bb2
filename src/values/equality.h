// Equality and nesting depth of document values.

#ifndef MOXAL_VALUES_EQUALITY_H_
#define MOXAL_VALUES_EQUALITY_H_

#include "values/value.h"

namespace moxal {

// True when `a` and `b` are equal document values: same kind; numbers of the
// same number kind and value (integers by their 64-bit value, floats by IEEE
// equality, so 0.0 == -0.0 and 1 != 1.0); strings byte for byte; arrays
// element by element; objects member by member in key order.
bool Equal(ValueRef a, ValueRef b);

// Number of arrays and objects open at the deepest point of `v`: 0 for a
// scalar, 1 for [] or {}, 2 for [[]].
int Depth(ValueRef v);

}  // namespace moxal

#endif  // MOXAL_VALUES_EQUALITY_H_
