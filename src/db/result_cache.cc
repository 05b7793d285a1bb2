#include "db/result_cache.h"

#include <cassert>

#include "values/equality.h"

namespace moxal {

ResultCache::ResultCache() {
  // One more than the capacity: Insert adds the new entry to the index
  // before it evicts the oldest, and the index never rehashes meanwhile.
  index_.reserve(kCapacity + 1);
}

ResultPtr ResultCache::Lookup(uint64_t key, std::string_view collection, uint64_t stamp,
                              ValueRef query, std::string_view page) {
  if (index_.empty()) return nullptr;
  auto it = index_.find(IndexKey{key, collection});
  if (it == index_.end()) return nullptr;
  Entries::iterator e = it->second;
  if (e->stamp != stamp || e->page != page || !Equal(e->query.ref(), query)) return nullptr;
  entries_.splice(entries_.begin(), entries_, e);
  return e->result;
}

void ResultCache::Insert(uint64_t key, std::string_view collection, uint64_t stamp, Value query,
                         std::string page, ResultPtr result) {
  auto it = index_.find(IndexKey{key, collection});
  if (it != index_.end()) {
    // A stale or colliding entry under the same key: it is replaced.
    Entries::iterator e = it->second;
    e->stamp = stamp;
    e->query = std::move(query);
    e->page.swap(page);
    e->result = std::move(result);
    entries_.splice(entries_.begin(), entries_, e);
    return;
  }
  if (entries_.size() == kCapacity) {
    Reuse(key, collection, stamp, std::move(query), std::move(page), std::move(result));
    return;
  }
  // Everything that allocates comes first, while the cache is unchanged:
  // the entry, in a list of its own, and its place in the index.
  Entries fresh;
  fresh.push_back(Entry{key, std::string(collection), stamp, std::move(query), std::move(page),
                        std::move(result)});
  Entries::iterator e = fresh.begin();
  index_.emplace(IndexKey{key, e->collection}, e);
  entries_.splice(entries_.begin(), fresh);
  assert(entries_.size() == index_.size() && entries_.size() <= kCapacity);
}

void ResultCache::Reuse(uint64_t key, std::string_view collection, uint64_t stamp, Value query,
                        std::string page, ResultPtr result) {
  // The least recently used entry and its index node become the new entry's,
  // so a full cache allocates nothing but a longer name than the old one.
  Entries::iterator e = std::prev(entries_.end());
  std::string name;
  bool longer = collection.size() > e->collection.capacity();
  if (longer) name.assign(collection);  // the only step that can fail
  auto node = index_.extract(IndexKey{e->key, e->collection});
  assert(!node.empty());
  e->key = key;
  if (longer) {
    e->collection.swap(name);
  } else {
    e->collection.assign(collection);  // fits: no allocation
  }
  e->stamp = stamp;
  e->query = std::move(query);
  e->page.swap(page);             // the old page is freed with the argument
  e->result = std::move(result);  // the old result is released here
  node.key() = IndexKey{key, e->collection};
  index_.insert(std::move(node));
  entries_.splice(entries_.begin(), entries_, e);
}

void ResultCache::Reset() noexcept {
  index_.clear();
  entries_.clear();
}

}  // namespace moxal
