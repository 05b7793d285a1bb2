#include "db/result_cache.h"

#include "values/equality.h"

namespace moxal {

ResultCache::ResultCache() {
  index_.reserve(kCapacity);
  head_.next = &tail_;
  tail_.prev = &head_;
}

ResultCache::~ResultCache() { Reset(); }

void ResultCache::Unlink(Entry* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
}

void ResultCache::PushFront(Entry* e) {
  e->next = head_.next;
  e->prev = &head_;
  head_.next->prev = e;
  head_.next = e;
}

ResultPtr ResultCache::Lookup(uint64_t key, std::string_view collection,
                              uint64_t stamp, ValueRef query) {
  if (index_.empty()) return nullptr;
  auto it = index_.find(IndexKey{key, collection});
  if (it == index_.end()) return nullptr;
  Entry* e = it->second;
  if (e->stamp != stamp || !Equal(e->query.ref(), query)) return nullptr;
  Unlink(e);
  PushFront(e);
  return e->result;
}

void ResultCache::Insert(uint64_t key, std::string_view collection,
                         uint64_t stamp, Value query, ResultPtr result) {
  Entry* e;
  auto it = index_.find(IndexKey{key, collection});
  if (it != index_.end()) {
    // A stale or colliding entry under the same key: reuse it.
    e = it->second;
    Unlink(e);
  } else {
    if (index_.size() == kCapacity) {
      e = tail_.prev;  // least recently used; its storage is reused
      Unlink(e);
      index_.erase(IndexKey{e->key, e->collection});
    } else {
      e = new Entry;
    }
    e->key = key;
    e->collection.assign(collection);
    index_.emplace(IndexKey{key, e->collection}, e);
  }
  e->stamp = stamp;
  e->query = std::move(query);
  e->result = std::move(result);
  PushFront(e);
}

void ResultCache::Reset() {
  for (Entry* e = head_.next; e != &tail_;) {
    Entry* next = e->next;
    delete e;
    e = next;
  }
  index_.clear();
  head_.next = &tail_;
  tail_.prev = &head_;
}

}  // namespace moxal
