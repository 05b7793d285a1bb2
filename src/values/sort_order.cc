#include "values/sort_order.h"

#include "values/number_order.h"

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

// -1, 0 or 1 as the count `a` is below, at or above `b`.
int Sign(uint32_t a, uint32_t b) { return (a > b) - (a < b); }

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
