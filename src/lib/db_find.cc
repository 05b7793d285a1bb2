// Finding documents, the result cache, and loading a collection on demand.

#include <sys/stat.h>

#include "conversion/to_python.h"
#include "conversion/to_value.h"
#include "lib/database.h"
#include "lib/db_common.h"
#include "lib/file_io.h"
#include "lib/paths.h"
#include "query/query.h"
#include "values/hash_feed.h"
#include "values/siphash.h"

namespace moxal {

namespace {

// The query's part of its cache key: SipHash-1-3 under an all-zero key of
// the query object's member feed (its own kind code left out).
uint64_t QueryKey(ObjectRef query) {
  SipHash13 h(0, 0);
  FeedMembers(query, h);
  return h.Finish();
}

}  // namespace

Status Database::update_in_memory_collections(std::string_view collection_name) {
  std::string path = CollectionFilePath(name_, collection_name);
  struct stat st;
  if (HasNul(path) || ::stat(path.c_str(), &st) != 0) {
    return Status::ValueError("Collection with name '" + std::string(collection_name) +
                         "' not found on disk");
  }
  std::vector<Value> docs;
  if (Status s = read_collection_file(path, collection_name, &docs); !s.ok()) return s;
  Put(collection_name, MakeCollection(std::move(docs)));
  return Status();
}

Result<PyRef> Database::find(std::string_view collection_name, PyObject* maybe_query) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c = Get(collection_name);
  if (c == nullptr) {
    if (Status s = update_in_memory_collections(collection_name); !s.ok()) return s;
    c = Get(collection_name);
  }
  if (maybe_query == nullptr) return ToPythonList(c->docs);

  Value query;
  ConversionError error;
  if (!ToValue(maybe_query, kMaxNesting, &query, &error)) return ConversionPanic(error);
  uint64_t key = QueryKey(query.ref().as_object());
  ResultPtr result = cache_.Lookup(key, collection_name, c->stamp, query.ref());
  if (result == nullptr) {
    QueryEngine<QueryOperator> engine;
    if (Status s = QueryEngine<QueryOperator>::New(query.ref().as_object(), &engine); !s.ok()) {
      return s;
    }
    // Matching documents are shared with the collection, not copied: they
    // are immutable, and an update replaces a shared document instead of
    // changing it, so the result never sees later changes.
    auto list = std::make_shared<ResultList>();
    for (const Value& doc : c->docs) {
      if (!doc.ref().is_object()) return Status::PanicException(kUnwrapNone);
      bool matched;
      if (Status s = engine.execute(doc.ref().as_object(), &matched); !s.ok()) return s;
      if (matched) list->docs.push_back(doc);
    }
    result = list;
    cache_.Insert(key, collection_name, c->stamp, std::move(query), std::move(list));
  }
  return ToPythonList(result->docs);
}

Status Database::clear_cache() {
  cache_.Reset();
  return Status();
}

}  // namespace moxal
