// Removing documents (Python's delete).
//
// Like an update, a removal is all or nothing: the documents are selected
// when it is prepared (everything that can fail, running out of memory
// included), and only the commit, which cannot fail, takes them out.

#include <cassert>

#include "db/database.h"
#include "db/journal_record.h"
#include "db/select.h"
#include "query/filter.h"

namespace moxal {

Status Database::prepare_remove(std::string_view collection_name, const Converted<Value>& query,
                                PreparedRemove* out) {
  CollectionPtr c;
  Filter filter;
  if (Status s = Select(collection_name, &query, &c, &filter, out); !s.ok()) return s;
  if (Status s = SelectDocuments(c->docs, &c->indexes, &filter, &out->positions); !s.ok()) {
    return s;
  }
  c->ReserveGraveyard(out->positions.size());
  out->name = collection_name;
  out->stamp = c->stamp;
  out->collection = std::move(c);
  return Status();
}

Status Database::Reserve(PreparedRemove* c) { return Stale(c->collection, c->name, c->stamp); }

bool Database::Record(const PreparedRemove& c, RecordBuilder* r, uint64_t*) const {
  if (c.positions.empty()) return false;
  r->Type(RecordType::kRemove);
  r->Text(c.name);
  RecordRuns(c.positions, r);
  return true;
}

void Database::Apply(PreparedRemove* c, uint64_t changed_at) noexcept {
  c->collection->Remove(c->positions);
  // Its cached results may hold the documents removed.
  if (!c->positions.empty()) cache_.Release(c->name);
  if (changed_at != 0 && !c->positions.empty()) c->collection->changed_at = changed_at;
}

}  // namespace moxal
