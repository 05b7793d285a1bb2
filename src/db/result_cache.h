// The result cache of finds with a query: least recently used first out,
// at most 100 entries.
//
// An entry is filed under the query's 64-bit key (SipHash-1-3 of the query
// object's member feed) and the collection name. Two refinements keep it
// from answering wrongly:
//  - the entry keeps the query itself, and a lookup hits only when the new
//    query equals it (the hash feed does not carry number kinds, so {'v': 0}
//    and {'v': 0.0} share a key), and the identity of the page of matches
//    it holds (query/page.h: sort order, skip and limit), empty for every
//    match, so a find never gets another page's result and a count only
//    ever a whole result's length;
//  - the entry keeps the stamp of the collection it was built from, and a
//    lookup hits only while the collection still has that stamp, so no find
//    sees a result older than the last change of its collection.
// A lookup that finds a stale or colliding entry misses, and the insert
// that follows replaces that entry. A stale entry still holds the documents
// it returned, which may be gone from the collection: the changes that take
// documents away release the entries of their collection (Release,
// ReleaseIf), so that a collection dropped or emptied is freed at once, not
// when its entries are evicted.

#ifndef MOXAL_DB_RESULT_CACHE_H_
#define MOXAL_DB_RESULT_CACHE_H_

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "values/value.h"

namespace moxal {

// A find result: documents shared with the collection they came from (they
// are immutable, so later changes to the collection never reach them).
struct ResultList {
  std::vector<Value> docs;
};
using ResultPtr = std::shared_ptr<const ResultList>;

class ResultCache {
 public:
  // Enough for the distinct queries a program typically repeats, and
  // cheap to keep full: an entry shares its documents with the collection,
  // so it costs about a pointer per matching document.
  static constexpr size_t kCapacity = 100;

  ResultCache();
  ResultCache(const ResultCache&) = delete;
  ResultCache& operator=(const ResultCache&) = delete;

  // The result filed under (key, collection) if it was built from a
  // collection with `stamp` for a query equal to `query` and the page
  // `page`; it becomes the most recently used. Null otherwise.
  ResultPtr Lookup(uint64_t key, std::string_view collection, uint64_t stamp, ValueRef query,
                   std::string_view page = {});

  // Files `result` as the most recently used entry, replacing an entry under
  // the same (key, collection), else evicting the least recently used one
  // when the cache is full. Throws std::bad_alloc, with the cache as it was.
  void Insert(uint64_t key, std::string_view collection, uint64_t stamp, Value query,
              std::string page, ResultPtr result);

  // Drops every entry.
  void Reset() noexcept;

  // Drops the entries of `collection`.
  void Release(std::string_view collection) noexcept {
    ReleaseIf([collection](std::string_view c, uint64_t) { return c == collection; });
  }
  // Drops the entries for which stale(collection, stamp) is true.
  template <class Stale>
  void ReleaseIf(Stale&& stale) noexcept {
    for (auto e = entries_.begin(); e != entries_.end();) {
      if (!stale(std::string_view(e->collection), e->stamp)) {
        ++e;
        continue;
      }
      index_.erase(IndexKey{e->key, e->collection});
      e = entries_.erase(e);
    }
  }

  size_t size() const { return index_.size(); }

 private:
  friend struct DatabaseTestPeer;  // tests compare the whole state

  struct Entry {
    uint64_t key = 0;
    std::string collection;
    uint64_t stamp = 0;
    Value query;
    std::string page;
    ResultPtr result;
  };
  using Entries = std::list<Entry>;  // the most recently used first
  struct IndexKey {
    uint64_t key;
    std::string_view collection;  // points into the entry
    bool operator==(const IndexKey& o) const { return key == o.key && collection == o.collection; }
  };
  struct IndexHash {
    size_t operator()(const IndexKey& k) const noexcept {
      return static_cast<size_t>(k.key) ^
             (std::hash<std::string_view>()(k.collection) * 0x9E3779B97F4A7C15ULL);
    }
  };

  // Insert into a full cache: the least recently used entry is overwritten.
  void Reuse(uint64_t key, std::string_view collection, uint64_t stamp, Value query,
             std::string page, ResultPtr result);

  // Entries move between positions and lists by splicing, which keeps
  // them (and the index's views of their names) where they are.
  Entries entries_;
  std::unordered_map<IndexKey, Entries::iterator, IndexHash> index_;
};

}  // namespace moxal

#endif  // MOXAL_DB_RESULT_CACHE_H_
