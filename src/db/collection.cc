#include "db/collection.h"

#include <cassert>

namespace moxal {

void Collection::Commit(DocumentChanges* changes) noexcept {
  const bool indexed = indexes.index_count() != 0;
  IndexSet::Keys before;
  const std::vector<Patch>& patches = changes->patches;
  for (size_t k = 0; k < patches.size();) {
    // The patches of one document are next to each other.
    uint32_t i = patches[k].document;
    assert(i < docs.size());
    Value& doc = docs[i];
    // Patches are planned only for documents nobody else holds, and the
    // view of an update's result holds copies of those.
    assert(doc.unique());
    if (indexed) indexes.KeysOf(doc.ref(), &before);
    for (; k < patches.size() && patches[k].document == i; ++k) {
      assert(size_t{patches[k].at} + patches[k].size <= doc.size());
      ApplyPatch(doc.mutable_data(), patches[k]);
    }
    if (indexed) indexes.Rekey(i, before, doc.ref());
  }
  for (Replacement& r : changes->replacements) {
    assert(r.index < docs.size());
    if (indexed) indexes.KeysOf(docs[r.index].ref(), &before);
    docs[r.index] = std::move(r.doc);
    if (indexed) indexes.Rekey(r.index, before, docs[r.index].ref());
  }
  changes->patches.clear();
  changes->replacements.clear();
  Touch();
}

}  // namespace moxal
