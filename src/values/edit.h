// Changing a member of a document.
//
// Documents are encoded blobs (value.h), shared by reference count. An edit
// writes into the blob itself only when nobody else holds it and the new
// bytes have the old length (the common case of arithmetic on a number);
// otherwise it builds a new blob with the change spliced in, so everyone
// else keeps seeing the document as it was.

#ifndef MOXAL_VALUES_EDIT_H_
#define MOXAL_VALUES_EDIT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "values/value.h"

namespace moxal {

// A member of an object inside a document, reached by a field path.
struct MemberPath {
  // Byte offsets, in the blob, of the objects walked through: the document
  // itself first, the object holding the member last.
  uint32_t objects[kMaxNesting + 1];
  int count = 0;
  // The member's index (in key order) in the last object, or -1 when that
  // object has no member of the last name.
  int64_t member = -1;
};

// Walks `fields` (at least one name) from the top of `doc`, an object,
// through objects only (arrays are never entered). Returns false when a
// name before the last is missing or does not hold an object; otherwise
// fills *path, with path->member -1 when the last name is missing.
// `hints` (one per name, see ObjectRef::find_index) may be null.
bool FindMember(const Value& doc, const std::vector<std::string>& fields, MemberPath* path,
                uint32_t* hints = nullptr);

// The member `path` names (path->member must be >= 0).
Member MemberAtPath(const Value& doc, const MemberPath& path);

// Replaces the value of the member `path` names with the encoded node
// `replacement` (which must not point into *doc).
void ReplaceMemberValue(Value* doc, const MemberPath& path, ValueRef replacement);

// Removes the member `path` names.
void RemoveMember(Value* doc, const MemberPath& path);

}  // namespace moxal

#endif  // MOXAL_VALUES_EDIT_H_
