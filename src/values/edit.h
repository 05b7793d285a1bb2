// Changing a member of a document.
//
// Documents are encoded blobs (value.h), shared by reference count. An edit
// writes into the blob itself only when nobody else holds it and the new
// bytes have the old length (the common case of arithmetic on a number);
// otherwise it builds a new blob with the change spliced in, so everyone
// else keeps seeing the document as it was.

#ifndef MOXAL_VALUES_EDIT_H_
#define MOXAL_VALUES_EDIT_H_

#include "values/member_path.h"
#include "values/value.h"

namespace moxal {

// Replaces the value of the member `path` names (found in *doc by
// FindMember, path.member >= 0) with the encoded node `replacement`, which
// must not point into *doc.
void ReplaceMemberValue(Value* doc, const MemberPath& path, ValueRef replacement);

// Removes the member `path` names (as above).
void RemoveMember(Value* doc, const MemberPath& path);

}  // namespace moxal

#endif  // MOXAL_VALUES_EDIT_H_
