#include "values/sort_order.h"

#include <cmath>

namespace moxal {

namespace {

// The rank of a value's kind in the sort order; absent is 0.
int Rank(ValueRef v) {
  if (!v) return 0;
  switch (v.tag()) {
    case tag::kNull:
      return 1;
    case tag::kUnsigned:
    case tag::kNegative:
    case tag::kFloat:
      return 2;
    case tag::kStr8:
    case tag::kStr32:
      return 3;
    case tag::kObject:
      return 4;
    case tag::kArray:
      return 5;
    case tag::kFalse:
      return 6;
    case tag::kTrue:
      return 7;
  }
  NoSuchTag();
}

template <class T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// An integer number (either integer kind) as a 128-bit integer, exactly.
__int128 IntegerOf(ValueRef v) {
  return v.tag() == tag::kUnsigned ? static_cast<__int128>(v.as_unsigned())
                                   : static_cast<__int128>(v.as_negative());
}

// Compares the integer `i` with the finite double `d`, exactly.
int CompareIntegerWithDouble(__int128 i, double d) {
  // Beyond both integer kinds' range: d decides alone. 2^64 and -2^63 are
  // doubles, so the comparisons are exact.
  if (d >= 18446744073709551616.0) return -1;
  if (d < -9223372036854775808.0) return 1;
  double whole = std::trunc(d);
  auto t = static_cast<__int128>(whole);  // exact: |whole| < 2^64
  if (i != t) return i < t ? -1 : 1;
  double fraction = d - whole;  // exact
  return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

int CompareNumbers(ValueRef a, ValueRef b) {
  bool a_float = a.tag() == tag::kFloat;
  bool b_float = b.tag() == tag::kFloat;
  if (a_float && b_float) return Sign(a.as_float(), b.as_float());  // -0.0 with 0.0
  if (!a_float && !b_float) return Sign(IntegerOf(a), IntegerOf(b));
  if (b_float) return CompareIntegerWithDouble(IntegerOf(a), b.as_float());
  return -CompareIntegerWithDouble(IntegerOf(b), a.as_float());
}

}  // namespace

int CompareForSort(ValueRef a, ValueRef b) {
  int ra = Rank(a);
  int rb = Rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  switch (ra) {
    case 2:
      return CompareNumbers(a, b);
    case 3:
      return CompareKeys(a.as_string(), b.as_string());
    case 4: {
      ObjectRef x = a.as_object();
      ObjectRef y = b.as_object();
      auto i = x.begin();
      auto j = y.begin();
      for (; i != x.end() && j != y.end(); ++i, ++j) {
        Member m = *i;
        Member n = *j;
        if (int c = CompareKeys(m.key, n.key); c != 0) return c;
        if (int c = CompareForSort(m.value, n.value); c != 0) return c;
      }
      return Sign(x.count(), y.count());
    }
    case 5: {
      ArrayRef x = a.as_array();
      ArrayRef y = b.as_array();
      auto i = x.begin();
      auto j = y.begin();
      for (; i != x.end() && j != y.end(); ++i, ++j) {
        if (int c = CompareForSort(*i, *j); c != 0) return c;
      }
      return Sign(x.count(), y.count());
    }
    default:  // absent, null, false, true: one value each
      return 0;
  }
}

}  // namespace moxal
