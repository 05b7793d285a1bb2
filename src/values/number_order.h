// The order of numbers by their exact values.
//
// A document number is an integer of 64 bits (either kind) or a finite
// double. Ordering compares them as the numbers they denote, the way Python
// compares int and float: integers with integers exactly, an integer with a
// double by exact value (never by rounding the integer to a double first,
// which makes 2^53 + 1 equal to 2^53 and 2^63 - 1 equal to 2^63), doubles
// as IEEE does (-0.0 and 0.0 are the same point, and both are the
// integer 0). Equality of values (equality.h) stays by kind: 1 and 1.0 are
// different values, although neither is below the other here.

#ifndef MOXAL_VALUES_NUMBER_ORDER_H_
#define MOXAL_VALUES_NUMBER_ORDER_H_

#include "values/value.h"

namespace moxal {

// Numbers of different kinds: what CompareNumbers does for them.
int CompareMixedNumbers(ValueRef a, ValueRef b);

// -1, 0 or 1 as `a` is below, at or above `b`. Both must be numbers.
// (Numbers of one kind, the common case of a scan, are compared here.)
inline int CompareNumbers(ValueRef a, ValueRef b) {
  assert(a.is_number() && b.is_number());
  if (a.tag() != b.tag()) return CompareMixedNumbers(a, b);
  if (a.tag() == tag::kFloat) {
    double x = a.as_float();
    double y = b.as_float();
    return (x > y) - (x < y);
  }
  // Integers of one kind: their bits in unsigned order (two negative
  // ones, both with the top bit set, compare so as signed numbers too).
  uint64_t x = a.bits();
  uint64_t y = b.bits();
  return (x > y) - (x < y);
}

// The largest double not above `number`'s exact value (the number itself
// for a double, -0.0 as 0.0): a < b implies FloorDouble(a) <= FloorDouble(b),
// and a double d is at most `number` exactly when d <= FloorDouble(number).
// Distinct numbers share it only beyond 2^53 in magnitude, where integers
// lie between neighbouring doubles. *exact (unless null) tells whether it
// is the number itself.
double FloorDouble(ValueRef number, bool* exact = nullptr);

}  // namespace moxal

#endif  // MOXAL_VALUES_NUMBER_ORDER_H_
