#include "values/number_order.h"

#include <cmath>

namespace moxal {

namespace {

// Integers of either kind fit a 128-bit integer, and so does every double
// of magnitude below 2^64 once its fraction is cut off.
using Wide = __int128;

template <class T>
int Sign(T a, T b) {
  return (a > b) - (a < b);
}

Wide WideInteger(ValueRef n) {
  return n.tag() == tag::kUnsigned ? Wide{n.bits()} : Wide{static_cast<int64_t>(n.bits())};
}

// An integer against a finite double.
int CompareIntegerDouble(Wide i, double d) {
  if (d >= 0x1p64) return -1;  // beyond every integer of either kind
  if (d < -0x1p63) return 1;
  double whole = std::trunc(d);  // exact, and within 128 bits
  Wide w = static_cast<Wide>(whole);
  if (i != w) return Sign(i, w);
  return Sign(whole, d);  // the fraction decides
}

}  // namespace

int CompareMixedNumbers(ValueRef a, ValueRef b) {
  assert(a.is_number() && b.is_number());
  bool a_float = a.tag() == tag::kFloat;
  bool b_float = b.tag() == tag::kFloat;
  if (a_float && b_float) return Sign(a.as_float(), b.as_float());
  if (b_float) return CompareIntegerDouble(WideInteger(a), b.as_float());
  if (a_float) return -CompareIntegerDouble(WideInteger(b), a.as_float());
  return Sign(WideInteger(a), WideInteger(b));
}

double FloorDouble(ValueRef number, bool* exact) {
  assert(number.is_number());
  if (exact != nullptr) *exact = true;
  if (number.tag() == tag::kFloat) {
    double d = number.as_float();
    return d == 0 ? 0.0 : d;
  }
  // The nearest double, which may lie above.
  double d = number.tag() == tag::kUnsigned
                 ? static_cast<double>(number.bits())
                 : static_cast<double>(static_cast<int64_t>(number.bits()));
  int order = CompareIntegerDouble(WideInteger(number), d);
  if (order < 0) d = std::nextafter(d, -INFINITY);
  if (exact != nullptr) *exact = order == 0;
  return d;
}

}  // namespace moxal
