#include "db/collection.h"

#include <cassert>

namespace moxal {

void Collection::Commit(DocumentChanges* changes) noexcept {
  for (const Patch& patch : changes->patches) {
    assert(patch.document < docs.size());
    Value& doc = docs[patch.document];
    // Patches are planned only for documents nobody else holds, and the
    // view of an update's result holds copies of those.
    assert(doc.unique());
    assert(size_t{patch.at} + patch.size <= doc.size());
    ApplyPatch(doc.mutable_data(), patch);
  }
  for (Replacement& r : changes->replacements) {
    assert(r.index < docs.size());
    docs[r.index] = std::move(r.doc);
  }
  changes->patches.clear();
  changes->replacements.clear();
  Touch();
}

}  // namespace moxal
