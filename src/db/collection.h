// A collection in memory: its documents, shared by reference count.

#ifndef MOXAL_DB_COLLECTION_H_
#define MOXAL_DB_COLLECTION_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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
// indexes at their next use, a changed one through Commit, and anything
// else that changes the list must tell them (IndexSet::Truncated, Clear).
//
// A collection belongs to one Database, whose calls run one at a time (a
// call borrows its object for its whole length, see borrow.h), so no
// further locking is needed even though the work runs without the
// interpreter lock. A change either completes or leaves the collection as
// it was: room is reserved before appending, and an update prepares every
// change (DocumentChanges) before Commit puts them in place, so a
// collection is never left half-changed, even when memory runs out.
struct Collection {
  explicit Collection(std::vector<Value> d) : docs(std::move(d)), stamp(NextStamp()) {}
  void Touch() noexcept { stamp = NextStamp(); }

  // Puts the prepared changes of `update` in place, keeps the indexes true
  // and renews the stamp; `changes` is left spent. Cannot fail. The changes
  // must have been prepared from this collection as it still is.
  void Commit(DocumentChanges* changes, const Update& update) noexcept;

  // Removes the documents at `positions` (ascending, distinct), the others
  // closing up in order, keeps the indexes true and renews the stamp. Cannot
  // fail. Removing none changes nothing.
  void Remove(const std::vector<size_t>& positions) noexcept;

  std::vector<Value> docs;
  uint64_t stamp;
  IndexSet indexes;

  // The version of the collection's file this object last read or wrote,
  // or none (it never saw one, or could not examine it): a write compares
  // it with the file it is about to replace, to tell when somebody else
  // wrote the file meanwhile. Writes of one object may run at once (they
  // share it), so it is read and set under `file_mutex`, which a write
  // holds until its file is in place and noted.
  std::optional<FileIdentity> file_seen;
  std::mutex file_mutex;

 private:
  // The indexes the commit of `changes` must keep true (dropping them
  // instead where that costs less).
  IndexSet::Mask IndexesAffected(const DocumentChanges& changes, const Update& update) noexcept;
};

using CollectionPtr = std::shared_ptr<Collection>;

inline CollectionPtr MakeCollection(std::vector<Value> docs = {}) {
  return std::make_shared<Collection>(std::move(docs));
}

}  // namespace moxal

#endif  // MOXAL_DB_COLLECTION_H_
