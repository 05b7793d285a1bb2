#include "values/equality.h"

#include <algorithm>

namespace moxal {

bool Equal(ValueRef a, ValueRef b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::kNull:
      return true;
    case Kind::kBool:
      return a.tag() == b.tag();
    case Kind::kNumber:
      if (a.tag() != b.tag()) return false;
      if (a.tag() == tag::kFloat) return a.as_float() == b.as_float();
      return a.bits() == b.bits();
    case Kind::kString:
      return a.as_string() == b.as_string();
    case Kind::kArray: {
      ArrayRef x = a.as_array();
      ArrayRef y = b.as_array();
      if (x.count() != y.count()) return false;
      auto j = y.begin();
      for (ValueRef e : x) {
        if (!Equal(e, *j)) return false;
        ++j;
      }
      return true;
    }
    case Kind::kObject: {
      ObjectRef x = a.as_object();
      ObjectRef y = b.as_object();
      if (x.count() != y.count()) return false;
      auto j = y.begin();
      for (Member m : x) {
        Member n = *j;
        if (m.key != n.key || !Equal(m.value, n.value)) return false;
        ++j;
      }
      return true;
    }
  }
  return false;
}

int Depth(ValueRef v) {
  if (v.is_array()) {
    int d = 0;
    for (ValueRef e : v.as_array()) d = std::max(d, Depth(e));
    return d + 1;
  }
  if (v.is_object()) {
    int d = 0;
    for (Member m : v.as_object()) d = std::max(d, Depth(m.value));
    return d + 1;
  }
  return 0;
}

}  // namespace moxal
