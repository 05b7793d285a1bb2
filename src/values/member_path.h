// Reaching a member of a document by its field path.
//
// A path is a list of member names followed from the top of a document
// down through objects only: arrays are never entered, and a name is never
// read as an array index. Matching reads the member a path reaches; an
// update changes it in place (edit.h), which needs to know every object the
// walk went through.

#ifndef MOXAL_VALUES_MEMBER_PATH_H_
#define MOXAL_VALUES_MEMBER_PATH_H_

#include <cassert>
#include <cstdint>
#include <string>
#include <vector>

#include "values/value.h"

namespace moxal {

// Follows `fields` (at least one name) down from the object `doc`. Returns
// the index of the member the last name names in the object that holds it,
// which goes to *holder, or -1 when there is no such member: a name is
// missing, or a name before the last does not hold an object. `enter` is
// called with every object the walk goes into below `doc`. `hints` holds
// one index per name (see ObjectRef::FindIndex).
template <class Enter>
int64_t FollowPath(ObjectRef doc, const std::vector<std::string>& fields, uint32_t* hints,
                   ObjectRef* holder, Enter&& enter) {
  assert(!fields.empty());
  ObjectRef at = doc;
  size_t last = fields.size() - 1;
  for (size_t i = 0; i < last; ++i) {
    int64_t k = at.FindIndex(fields[i], &hints[i]);
    if (k < 0) return -1;
    ValueRef next = at.member(static_cast<uint32_t>(k)).value;
    if (!next.is_object()) return -1;
    at = next.as_object();
    enter(at);
  }
  *holder = at;
  return at.FindIndex(fields[last], &hints[last]);
}

// A member of an object inside a document, reached by a field path.
struct MemberPath {
  // Byte offsets from the start of the document of the objects walked
  // through: the document itself first, the object holding the member last.
  // A walk enters one object a nesting level, and no value nests deeper
  // than kMaxNesting.
  uint32_t objects[kMaxNesting + 1];
  int count = 0;
  // The member's index (in key order) in the last object.
  int64_t member = -1;
};

// Follows `fields` from the top of the object `doc` as FollowPath does and
// fills *path. Returns false when there is no such member. A path of more
// names than `objects` has room for is never followed: no document that
// can be stored nests that deep.
bool FindMember(ObjectRef doc, const std::vector<std::string>& fields, uint32_t* hints,
                MemberPath* path);

// The member `path` names in `doc`.
inline Member MemberAtPath(ObjectRef doc, const MemberPath& path) {
  assert(path.count > 0 && path.member >= 0);
  ObjectRef holder(doc.data() + path.objects[path.count - 1]);
  return holder.member(static_cast<uint32_t>(path.member));
}

}  // namespace moxal

#endif  // MOXAL_VALUES_MEMBER_PATH_H_
