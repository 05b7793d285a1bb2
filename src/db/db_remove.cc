// Removing documents.
//
// Like an update, a removal is all or nothing: the documents are selected
// first (everything that can fail, running out of memory included), and
// only the commit, which cannot fail, takes them out.

#include <cassert>

#include "db/collection_names.h"
#include "db/database.h"
#include "db/select.h"
#include "query/filter.h"

namespace moxal {

Status Database::remove(std::string_view collection_name, const Converted<Value>& query,
                        PreparedRemove* prepared) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c;
  if (Status s = GetOrLoad(collection_name, &c); !s.ok()) return s;
  if (!query.error.ok()) return query.error;
  Filter filter;
  if (Status s = Filter::New(query.value.ref().as_object(), &filter); !s.ok()) return s;
  if (Status s = SelectDocuments(c->docs, &c->indexes, &filter, &prepared->positions); !s.ok()) {
    return s;
  }
  prepared->stamp = c->stamp;
  prepared->collection = std::move(c);
  return Status();
}

void Database::CommitRemove(PreparedRemove* prepared) noexcept {
  assert(prepared->collection != nullptr);
  // Nothing changed the collection since the removal was prepared.
  assert(prepared->collection->stamp == prepared->stamp);
  prepared->collection->Remove(prepared->positions);
}

}  // namespace moxal
