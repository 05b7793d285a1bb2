// A collection in memory: its documents, shared by reference count.

#ifndef MOXAL_DB_COLLECTION_H_
#define MOXAL_DB_COLLECTION_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "db/index_set.h"
#include "query/update.h"
#include "storage/file_identity.h"
#include "values/value.h"

namespace moxal {

// A number no collection state has had before in this process. Every
// collection carries one, renewed whenever its documents change, so a cached
// find result can tell whether the collection it was built from is still the
// same (see ResultCache).
// Objects in several threads change collections at once, so the counter is
// atomic.
inline uint64_t NextStamp() noexcept {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// Room for `more` elements at the end of `v`, growing by half at least, so
// that adding one element at a time costs amortised constant time instead
// of a copy of the whole vector each (reserve alone grows to the exact
// size). Throws std::bad_alloc, leaving `v` as it was.
template <class T>
void MakeRoom(std::vector<T>& v, size_t more) {
  size_t needed = v.size() + more;
  if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() * 3 / 2));
}

// A document to be replaced by a new version.
struct Replacement {
  size_t index;
  Value doc;
};

// Changes to the documents of one collection, made ready by an update and
// not yet in place (Collection::Commit puts them there). Everything that
// can fail has been done to make them: what remains only writes planned
// bytes and moves values.
struct DocumentChanges {
  // Overwrites of documents nobody else holds, which keep their lengths;
  // `document` is the index in the collection, and the patches of one
  // document are next to each other, in the order they apply.
  std::vector<Patch> patches;
  // New versions of other documents, each document at most once and never
  // one that is patched.
  std::vector<Replacement> replacements;
};

// The documents of one collection in stored order. The collection map holds
// one reference; an operation in progress holds another, so replacing or
// dropping a map entry never disturbs it.
//
// Documents are immutable blobs shared by reference count (value.h): an
// insert appends, an update replaces documents or, where nobody else holds
// one, overwrites bytes of it. Every change calls Touch(), and keeps the
// collection's indexes true: appended documents are taken in by the
// indexes at their next use, changed ones through Commit and Replace,
// removed ones through Remove.
//
// A collection belongs to one Database, whose calls run one at a time (a
// call borrows its object for its whole length, see borrow.h), so no
// further locking is needed even though the work runs without the
// interpreter lock. The one exception is a fold (fold.h), which writes the
// documents' bytes to the collection's file on a thread of its own while
// calls go on: it pins the collection, and while it is pinned no document
// is written in place and none that is replaced or removed is freed
// (they wait in `graveyard` until the last fold ends), so the bytes it
// reads stay as they were. A change either completes or leaves the
// collection as it was: room is reserved before appending (and in the
// graveyard before replacing or removing), and an update prepares every
// change (DocumentChanges) before Commit puts them in place, so a
// collection is never left half-changed, even when memory runs out.
struct Collection {
  explicit Collection(std::vector<Value> d) : docs(std::move(d)), stamp(NextStamp()) {}
  void Touch() noexcept { stamp = NextStamp(); }

  // Puts the prepared changes of `update` in place, keeps the indexes true
  // and renews the stamp; `changes` is left spent. Cannot fail. The changes
  // must have been prepared from this collection as it still is.
  void Commit(DocumentChanges* changes, const Update& update) noexcept;

  // Puts new versions of documents in place (no patches), keeping every
  // index true, and renews the stamp: an update replayed from its effect.
  void Replace(std::vector<Replacement>* replacements) noexcept;

  // Removes the documents at `positions` (ascending, distinct), the others
  // closing up in order, keeps the indexes true and renews the stamp. Cannot
  // fail. Removing none changes nothing.
  void Remove(const std::vector<size_t>& positions) noexcept;

  // Room for `n` more documents to be replaced or removed while pinned.
  // Throws std::bad_alloc.
  void ReserveGraveyard(size_t n) {
    if (pins > 0) MakeRoom(graveyard, n);
  }
  // Whether documents may be written in place (no fold reads them).
  bool writable_in_place() const { return pins == 0; }
  void Pin() noexcept { ++pins; }
  void Unpin() noexcept {
    if (--pins == 0) std::vector<Value>().swap(graveyard);
  }

  std::vector<Value> docs;
  uint64_t stamp;
  IndexSet indexes;

  // The version of the collection's file this object last read or wrote,
  // or none (it never saw one, or could not examine it): a write compares
  // it with the file it is about to replace, to tell when somebody else
  // wrote the file meanwhile.
  std::optional<FileIdentity> file_seen;

  // With a journal: one past the position of the last record that changed
  // the collection (0: none since it was loaded), and the position up to
  // which its file holds every record (a fold's). Its file holds what
  // memory holds when changed_at <= folded_to.
  uint64_t changed_at = 0;
  uint64_t folded_to = 0;
  bool unfolded() const { return changed_at > folded_to; }

 private:
  // The indexes the commit of `changes` must keep true (dropping them
  // instead where that costs less).
  IndexSet::Mask IndexesAffected(const DocumentChanges& changes, const Update& update) noexcept;
  // Whether following `changed` changed documents costs more than
  // building the indexes of `mask` again: then they are dropped.
  IndexSet::Mask KeepOrDrop(IndexSet::Mask mask, size_t changed) noexcept;
  void ReplaceOne(Replacement* r, IndexSet::Mask affected) noexcept;
  // Keeps a document that leaves the collection alive while pinned.
  void Bury(Value* doc) noexcept;

  int pins = 0;
  std::vector<Value> graveyard;
};

using CollectionPtr = std::shared_ptr<Collection>;

inline CollectionPtr MakeCollection(std::vector<Value> docs = {}) {
  return std::make_shared<Collection>(std::move(docs));
}

}  // namespace moxal

#endif  // MOXAL_DB_COLLECTION_H_
