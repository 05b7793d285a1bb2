#include "db/collection.h"

#include <cassert>
#include <new>

namespace moxal {

void Collection::Bury(Value* doc) noexcept {
  if (pins == 0) return;
  assert(graveyard.size() < graveyard.capacity());  // room was reserved
  graveyard.push_back(std::move(*doc));
}

void Collection::ReplaceOne(Replacement* r, IndexSet::Mask affected) noexcept {
  assert(r->index < docs.size());
  IndexSet::Keys before;
  if (affected != 0) indexes.KeysOf(docs[r->index].ref(), affected, &before);
  Bury(&docs[r->index]);
  docs[r->index] = std::move(r->doc);
  if (affected != 0) indexes.Rekey(r->index, before, docs[r->index].ref(), affected);
}

void Collection::Commit(DocumentChanges* changes, const Update& update) noexcept {
  IndexSet::Mask affected = IndexesAffected(*changes, update);
  IndexSet::Keys before;
  const std::vector<Patch>& patches = changes->patches;
  for (size_t k = 0; k < patches.size();) {
    // The patches of one document are next to each other.
    uint32_t i = patches[k].document;
    assert(i < docs.size());
    Value& doc = docs[i];
    // Patches are planned only for documents nobody else holds, while no
    // fold reads them, and the view of an update's result holds copies.
    assert(doc.unique() && writable_in_place());
    if (affected != 0) indexes.KeysOf(doc.ref(), affected, &before);
    for (; k < patches.size() && patches[k].document == i; ++k) {
      assert(size_t{patches[k].at} + patches[k].size <= doc.size());
      ApplyPatch(doc.mutable_data(), patches[k]);
    }
    if (affected != 0) indexes.Rekey(i, before, doc.ref(), affected);
  }
  for (Replacement& r : changes->replacements) ReplaceOne(&r, affected);
  changes->patches.clear();
  changes->replacements.clear();
  Touch();
}

void Collection::Replace(std::vector<Replacement>* replacements) noexcept {
  IndexSet::Mask affected = KeepOrDrop(~IndexSet::Mask{0}, replacements->size());
  for (Replacement& r : *replacements) ReplaceOne(&r, affected);
  replacements->clear();
  Touch();
}

void Collection::Remove(const std::vector<size_t>& positions) noexcept {
  if (positions.empty()) return;
  // The indexes renumber theirs while the documents are still in place.
  indexes.Remove(docs, positions);
  for (size_t p : positions) Bury(&docs[p]);
  if (positions.size() == docs.size()) {
    std::vector<Value>().swap(docs);  // everything: the room goes too
  } else {
    size_t kept = positions.front();
    for (size_t k = 0; k < positions.size(); ++k) {
      assert(k == 0 || positions[k - 1] < positions[k]);
      size_t end = k + 1 < positions.size() ? positions[k + 1] : docs.size();
      for (size_t i = positions[k] + 1; i < end; ++i) docs[kept++] = std::move(docs[i]);
    }
    docs.erase(docs.begin() + static_cast<std::ptrdiff_t>(kept), docs.end());
  }
  Touch();
}

IndexSet::Mask Collection::KeepOrDrop(IndexSet::Mask mask, size_t changed) noexcept {
  if (indexes.index_count() == 0) return 0;
  // A change of many documents: dropping the indexes and building them
  // again when next wanted costs less than following every change.
  if (changed > docs.size() / 8 + 64) {
    indexes.Drop(mask);
    return 0;
  }
  return mask;
}

IndexSet::Mask Collection::IndexesAffected(const DocumentChanges& changes,
                                           const Update& update) noexcept {
  if (indexes.index_count() == 0) return 0;
  // The clauses' paths are gathered into a vector, which may find no
  // memory: the commit cannot fail, so then every index is dropped.
  std::vector<const FieldPath*> paths;
  IndexSet::Mask affected = ~IndexSet::Mask{0};
  try {
    paths.reserve(update.clauses().size());
    for (const auto& c : update.clauses()) paths.push_back(&c.fields);
    affected = indexes.AffectedBy(paths);
  } catch (const std::bad_alloc&) {
    indexes.Drop(affected);
    return 0;
  }
  return KeepOrDrop(affected, changes.replacements.size() + changes.patches.size());
}

}  // namespace moxal
