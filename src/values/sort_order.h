// The order find sorts documents by: one total order over every value, and
// over the absence of one.

#ifndef MOXAL_VALUES_SORT_ORDER_H_
#define MOXAL_VALUES_SORT_ORDER_H_

#include "values/value.h"

namespace moxal {

// Compares `a` and `b` (either may be absent) in the sort order, returning
// a negative number, zero or a positive number as `a` sorts before, with,
// or after `b`. Kinds sort as
//
//   absent < null < numbers < strings < objects < arrays < false < true
//
// and within a kind:
//  - numbers by their exact value, whatever their kinds (as Python compares
//    int and float): 2**53 + 1 sorts after 2.0**53, and 1 with 1.0, as do
//    0.0 and -0.0;
//  - strings by their UTF-8 bytes (which is code point order);
//  - objects member by member in key order, each by its key's bytes, then
//    by its value; an object that runs out of members first sorts first;
//  - arrays element by element; a shorter prefix sorts first.
// Zero means the two sort together, not that they are equal values (1 and
// 1.0 are not). A total order: it is what sorting needs.
int CompareForSort(ValueRef a, ValueRef b);

}  // namespace moxal

#endif  // MOXAL_VALUES_SORT_ORDER_H_
