// Finding and counting documents, the result cache, and loading a
// collection on demand.

#include <cassert>

#include "db/collection_names.h"
#include "db/database.h"
#include "db/page_select.h"
#include "db/select.h"
#include "query/filter.h"
#include "storage/fs.h"
#include "values/hash_feed.h"
#include "values/siphash.h"

namespace moxal {

namespace {

// The query's part of its cache key: SipHash-1-3 under an all-zero key of
// the query object's member feed (its own kind code left out), followed by
// the page's identity (nothing for a whole result).
uint64_t QueryKey(ObjectRef query, std::string_view page = {}) {
  SipHash13 h(0, 0);
  FeedMembers(query, h);
  if (!page.empty()) h.Update(page.data(), page.size());
  return h.Finish();
}

}  // namespace

Status Database::LoadFromDisk(std::string_view collection_name, CollectionMap* map) const {
  std::string path = CollectionFilePath(name_, collection_name);
  if (!PathExists(path)) {
    return Status::NotFound("Collection with name '" + std::string(collection_name) +
                            "' not found on disk");
  }
  CollectionPtr loaded;
  if (Status s = ReadCollection(collection_name, path, &loaded); !s.ok()) return s;
  // The key is made before the map changes: an insertion that throws
  // leaves the map as it was.
  std::string key(collection_name);
  (*map)[std::move(key)] = std::move(loaded);
  return Status();
}

Status Database::GetOrLoad(std::string_view collection_name, CollectionPtr* out) {
  *out = FindInMemory(collection_name);
  if (*out != nullptr) return Status();
  if (Status s = LoadFromDisk(collection_name); !s.ok()) return s;
  *out = FindInMemory(collection_name);
  assert(*out != nullptr);
  return Status();
}

Status Database::find(std::string_view collection_name, const Converted<Value>* maybe_query,
                      Found* found) {
  static const Page kWhole;
  return find(collection_name, maybe_query, kWhole, found);
}

Status Database::find(std::string_view collection_name, const Converted<Value>* maybe_query,
                      const Page& page, Found* found) {
  CollectionPtr c;
  if (Status s = Select(collection_name, maybe_query, &c, nullptr); !s.ok()) return s;
  // Matching documents are shared with the collection, not copied: they
  // are immutable, and an update replaces a shared document instead of
  // changing it, so a result never sees later changes.
  auto list_of = [&](const std::vector<size_t>& selected) {
    auto list = std::make_shared<ResultList>();
    list->docs.reserve(selected.size());
    for (size_t i : selected) list->docs.push_back(c->docs[i]);
    return list;
  };
  if (maybe_query == nullptr) {
    if (page.whole()) {
      found->docs = DocumentsPtr(c, &c->docs);
      return Status();
    }
    std::vector<size_t> selected;
    if (Status s = SelectPage(c->docs, &c->indexes, nullptr, page, &selected); !s.ok()) return s;
    ResultPtr list = list_of(selected);
    found->docs = DocumentsPtr(list, &list->docs);
    return Status();
  }

  ValueRef query = maybe_query->value.ref();
  std::string identity = page.Identity();
  uint64_t key = QueryKey(query.as_object(), identity);
  ResultPtr result = cache_.Lookup(key, collection_name, c->stamp, query, identity);
  if (result == nullptr) {
    Filter filter;
    if (Status s = Filter::New(query.as_object(), &filter); !s.ok()) return s;
    std::vector<size_t> selected;
    Status s = page.whole() ? SelectDocuments(c->docs, &c->indexes, &filter, &selected)
                            : SelectPage(c->docs, &c->indexes, &filter, page, &selected);
    if (!s.ok()) return s;
    result = list_of(selected);
    found->key = key;
    found->stamp = c->stamp;
    found->query = maybe_query->value;
    found->page = std::move(identity);
    found->fresh = result;
  }
  found->docs = DocumentsPtr(result, &result->docs);
  return Status();
}

Status Database::count(std::string_view collection_name, const Converted<Value>* maybe_query,
                       size_t* count) {
  CollectionPtr c;
  if (Status s = Select(collection_name, maybe_query, &c, nullptr); !s.ok()) return s;
  if (maybe_query == nullptr) {
    *count = c->docs.size();
    return Status();
  }
  ValueRef query = maybe_query->value.ref();
  ResultPtr cached = cache_.Lookup(QueryKey(query.as_object()), collection_name, c->stamp, query);
  if (cached != nullptr) {
    *count = cached->docs.size();
    return Status();
  }
  Filter filter;
  if (Status s = Filter::New(query.as_object(), &filter); !s.ok()) return s;
  size_t n = 0;
  if (Status s = ForEachMatch(c->docs, &c->indexes, &filter, [&n](size_t) { ++n; }); !s.ok()) {
    return s;
  }
  *count = n;
  return Status();
}

void Database::cache_result(std::string_view collection_name, Found* found) {
  if (found->fresh == nullptr) return;
  cache_.Insert(found->key, collection_name, found->stamp, std::move(found->query),
                std::move(found->page), std::move(found->fresh));
}

Status Database::clear_cache() {
  if (Status s = Enter(); !s.ok()) return s;
  cache_.Reset();
  return Status();
}

}  // namespace moxal
