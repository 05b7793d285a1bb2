// Updating documents.
//
// An update is all or nothing, even when memory runs out. It is prepared
// first: the update query and the filter are parsed, the filter is
// evaluated against every document, every document is checked to be an
// object, a clause with an empty path is caught when some document would
// reach it, and each selected document's change is made ready without
// touching the collection: as patches (byte overwrites that keep the
// length) for a document nobody else holds and the update can change in
// place, else as a new version of the document, checked to fit in its
// file. Only the commit, which cannot fail, changes the collection. A
// failure anywhere before leaves every document as it was, and later calls
// work normally.
//
// Patches keep the common case (arithmetic on a number, a Set of a value
// as long as the old one) as cheap as editing in place: no document is
// copied.

#include <cassert>
#include <cstdint>

#include "db/database.h"
#include "db/collection_names.h"
#include "db/select.h"
#include "query/filter.h"
#include "query/update.h"
#include "values/equality.h"

namespace moxal {

namespace {

// True when some Set clause could nest a document too deeply: its operand,
// placed under its path, would go past the limit.
bool MayNestTooDeeply(const Update& changes) {
  for (const auto& c : changes.clauses()) {
    if (c.operator_ == UpdateOperator::Set &&
        static_cast<int>(c.fields.size()) + Depth(c.value.ref()) > kMaxDocumentDepth) {
      return true;
    }
  }
  return false;
}

// Parses the update query (writing its trace lines) and the filter, and
// selects the documents to change. Nothing changes yet.
Status Plan(const Converted<Value>& update_query, const Converted<Value>* maybe_query,
            const std::vector<Value>& docs, TraceFn trace, Update* changes,
            std::vector<size_t>* selected) {
  if (!update_query.error.ok()) return update_query.error;
  if (Status s = Update::New(update_query.value.ref().as_object(), changes, trace); !s.ok()) {
    return s;
  }
  Filter filter;
  if (maybe_query != nullptr) {
    if (!maybe_query->error.ok()) return maybe_query->error;
    if (Status s = Filter::New(maybe_query->value.ref().as_object(), &filter); !s.ok()) {
      return s;
    }
  }
  Status s = SelectDocuments(docs, maybe_query != nullptr ? &filter : nullptr, selected);
  if (!s.ok()) return Status::InternalFrom(s);
  if (!selected->empty() && changes->HasEmptyPath()) return EmptyPathPanic();
  return Status();
}

Status TooDeep() {
  return Status::TooDeep(
      "Update refused: it would nest a document deeper than the JSON nesting limit of " +
      std::to_string(kMaxNesting) + " levels (its collection's array included)");
}

// Makes the change of each selected document ready in *out: patches where
// the document is the collection's alone and the update keeps every length
// (PlanPatches), else a new version made on a copy (the collection's own
// stays as it is), checked to fit in its file when a Set could nest it too
// deeply.
Status PrepareChanges(const Update& changes, const std::vector<Value>& docs,
                      const std::vector<size_t>& selected, DocumentChanges* out) {
  const bool check_depth = MayNestTooDeeply(changes);
  // A guess of one patch per document, which the common update (one clause)
  // makes; room is only taken from the system as it is written.
  if (!check_depth) out->patches.reserve(selected.size());
  for (size_t i : selected) {
    const Value& doc = docs[i];
    if (!check_depth && doc.unique() && i <= UINT32_MAX &&
        changes.PlanPatches(doc.ref(), static_cast<uint32_t>(i), &out->patches)) {
      continue;
    }
    Value changed = doc;  // shared: the edits copy it
    if (Status s = changes.Apply(&changed); !s.ok()) return s;
    if (changed.same_blob(doc)) continue;  // no clause applied to it
    if (check_depth && Depth(changed.ref()) > kMaxDocumentDepth) return TooDeep();
    out->replacements.push_back(Replacement{i, std::move(changed)});
  }
  return Status();
}

}  // namespace

Status Database::update(std::string_view collection_name, const Converted<Value>& update_query,
                        const Converted<Value>* maybe_query, PreparedUpdate* prepared,
                        TraceFn trace) {
  cache_.Reset();  // first of all, whatever happens next
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c;
  if (Status s = GetOrLoad(collection_name, &c); !s.ok()) return Status::InternalFrom(s);

  std::vector<size_t> selected;
  if (Status s = Plan(update_query, maybe_query, c->docs, trace, &prepared->changes, &selected);
      !s.ok()) {
    return s;
  }
  if (Status s = PrepareChanges(prepared->changes, c->docs, selected, &prepared->documents);
      !s.ok()) {
    return s;
  }
  prepared->stamp = c->stamp;
  prepared->collection = std::move(c);
  return Status();
}

void Database::CommitUpdate(PreparedUpdate* prepared) noexcept {
  assert(prepared->collection != nullptr);
  // Nothing changed the collection since the update was prepared.
  assert(prepared->collection->stamp == prepared->stamp);
  prepared->collection->Commit(&prepared->documents);
}

std::vector<Value> PreparedUpdate::After() const {
  std::vector<Value> after = collection->docs;  // shares every document
  const std::vector<Patch>& patches = documents.patches;
  for (size_t k = 0; k < patches.size();) {
    // The patches of one document are next to each other.
    uint32_t i = patches[k].document;
    assert(k == 0 || patches[k - 1].document < i);
    Value copy = Value::CopyOf(after[i].ref());
    for (; k < patches.size() && patches[k].document == i; ++k) {
      ApplyPatch(copy.mutable_data(), patches[k]);
    }
    after[i] = std::move(copy);
  }
  for (const Replacement& r : documents.replacements) after[r.index] = r.doc;
  return after;
}

}  // namespace moxal
