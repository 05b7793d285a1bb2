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

#include "db/collection_names.h"
#include "db/database.h"
#include "db/journal_record.h"
#include "db/select.h"
#include "db/update_changes.h"
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

// Parses the update query (writing its trace lines) and the filter (left
// empty without one). Nothing changes yet.
Status Parse(const Converted<Value>& update_query, const Converted<Value>* maybe_query,
             TraceFn trace, Update* changes, Filter* filter) {
  if (!update_query.error.ok()) return update_query.error;
  if (Status s = Update::New(update_query.value.ref().as_object(), changes, trace); !s.ok()) {
    return s;
  }
  if (maybe_query == nullptr) return Status();
  if (!maybe_query->error.ok()) return maybe_query->error;
  return Filter::New(maybe_query->value.ref().as_object(), filter);
}

Status TooDeep() {
  return Status::TooDeep(
      "Update refused: it would nest a document deeper than the JSON nesting limit of " +
      std::to_string(kMaxNesting) + " levels (its collection's array included)");
}

// Makes the change of document `i` ready in *out as patches, when the
// document is the collection's alone and the update keeps every length
// (PlanPatches). False when it cannot.
bool PreparePatches(const Update& changes, const Collection& c, size_t i, DocumentChanges* out) {
  const Value& doc = c.docs[i];
  return doc.unique() && c.writable_in_place() && i <= UINT32_MAX &&
         changes.PlanPatches(doc.ref(), static_cast<uint32_t>(i), &out->patches);
}

// Makes the change of document `i` ready in *out as a new version made on a
// copy (the collection's own stays as it is), checked to fit in its file
// with `check_depth`.
Status PrepareCopy(const Update& changes, const Value& doc, size_t i, bool check_depth,
                   DocumentChanges* out) {
  Value changed = doc;  // shared: the edits copy it
  if (Status s = changes.Apply(&changed); !s.ok()) return s;
  if (changed.SameBlob(doc)) return Status();  // no clause applied to it
  if (check_depth && Depth(changed.ref()) > kMaxDocumentDepth) return TooDeep();
  out->replacements.push_back(Replacement{i, std::move(changed)});
  return Status();
}

}  // namespace

Status PrepareChangesAt(const Update& changes, const std::vector<size_t>& positions, Collection& c,
                        DocumentChanges* out) {
  for (size_t i : positions) {
    if (!c.docs[i].ref().is_object()) return Status::Internal(kUnwrapNone);
    if (PreparePatches(changes, c, i, out)) continue;
    if (Status s = PrepareCopy(changes, c.docs[i], i, false, out); !s.ok()) return s;
  }
  return Status();
}

Status PrepareDocumentChanges(const Update& changes, const Filter* filter, Collection& c,
                              DocumentChanges* out) {
  const std::vector<Value>& docs = c.docs;
  const bool check_depth = MayNestTooDeeply(changes);
  if (!check_depth && !changes.HasEmptyPath()) {
    // Nothing but the selection can fail here (or memory run out), so each
    // document is made ready as it is selected: one pass over them, as
    // many as a change in place takes. Room for the common update of one
    // clause on every document is taken first (from the system only as it
    // is written).
    if (filter == nullptr) out->patches.reserve(docs.size());
    Status s = ForEachMatch(docs, &c.indexes, filter, [&](size_t i) {
      if (PreparePatches(changes, c, i, out)) return;
      Status ready = PrepareCopy(changes, docs[i], i, false, out);
      assert(ready.ok());  // only a clause with an empty path or depth fail
      static_cast<void>(ready);
    });
    return s.ok() ? Status() : Status::InternalFrom(s);
  }
  // Otherwise every document is selected first, so that a document that
  // is not an object, or a filter's error, is reported before the update's
  // own failures.
  std::vector<size_t> selected;
  if (Status s = SelectDocuments(docs, &c.indexes, filter, &selected); !s.ok()) {
    return Status::InternalFrom(s);
  }
  if (!selected.empty() && changes.HasEmptyPath()) return EmptyPathPanic();
  for (size_t i : selected) {
    if (!check_depth && PreparePatches(changes, c, i, out)) continue;
    if (Status s = PrepareCopy(changes, docs[i], i, check_depth, out); !s.ok()) return s;
  }
  return Status();
}

Status Database::prepare_update(std::string_view collection_name,
                                const Converted<Value>& update_query,
                                const Converted<Value>* maybe_query, PreparedUpdate* out,
                                TraceFn trace) {
  cache_.Reset();  // first of all, whatever happens next
  if (Status s = BeginChange(out); !s.ok()) return s;
  if (Status s = CheckName(collection_name); !s.ok()) return s;
  CollectionPtr c;
  if (Status s = GetOrLoad(collection_name, &c); !s.ok()) return Status::InternalFrom(s);

  Filter filter;
  if (Status s = Parse(update_query, maybe_query, trace, &out->changes, &filter); !s.ok()) {
    return s;
  }
  if (Status s = PrepareDocumentChanges(out->changes, maybe_query != nullptr ? &filter : nullptr,
                                        *c, &out->documents);
      !s.ok()) {
    return s;
  }
  c->ReserveGraveyard(out->documents.replacements.size());
  out->name = collection_name;
  out->update_query = update_query.value;
  if (maybe_query != nullptr) out->filter = maybe_query->value;
  out->stamp = c->stamp;
  out->collection = std::move(c);
  return Status();
}

Status Database::Reserve(PreparedUpdate* c) { return Stale(c->collection, c->name, c->stamp); }

namespace {

// An update is recorded as its update query and the positions of the
// documents it changed, which replay applies it to again; or, when those
// positions make more runs than this (an update of every other document
// of a large collection), as its update query and filter, which replay
// evaluates again in one pass.
constexpr size_t kMostRuns = 4096;
// What applying an update to one document costs replay, counted as bytes
// of record (for when the journal is folded).
constexpr uint64_t kReplayBytesPerDocument = 16;

// The positions of the documents the update changes, ascending.
std::vector<size_t> ChangedPositions(const DocumentChanges& d) {
  std::vector<size_t> out;
  out.reserve(d.patches.size() + d.replacements.size());
  size_t a = 0, b = 0;
  while (a < d.patches.size() || b < d.replacements.size()) {
    size_t next = b == d.replacements.size() ? d.patches[a].document
                  : a == d.patches.size()
                      ? d.replacements[b].index
                      : std::min<size_t>(d.patches[a].document, d.replacements[b].index);
    out.push_back(next);
    while (a < d.patches.size() && d.patches[a].document == next) ++a;
    while (b < d.replacements.size() && d.replacements[b].index == next) ++b;
  }
  return out;
}

size_t Runs(const std::vector<size_t>& positions) {
  size_t runs = 0;
  for (size_t k = 0; k < positions.size(); ++k) {
    if (k == 0 || positions[k] != positions[k - 1] + 1) ++runs;
  }
  return runs;
}

}  // namespace

bool Database::Record(const PreparedUpdate& c, RecordBuilder* r, uint64_t* weight) const {
  std::vector<size_t> changed = ChangedPositions(c.documents);
  if (changed.empty()) return false;  // nothing changes
  if (Runs(changed) > kMostRuns) {
    r->Type(RecordType::kUpdate);
    r->Text(c.name);
    r->Document(c.update_query);
    r->Byte(c.filter.empty() ? 0 : 1);
    if (!c.filter.empty()) r->Document(c.filter);
    *weight = kReplayBytesPerDocument * c.collection->docs.size();
    return true;
  }
  r->Type(RecordType::kUpdateAt);
  r->Text(c.name);
  r->Document(c.update_query);
  RecordRuns(changed, r);
  *weight = kReplayBytesPerDocument * changed.size();
  return true;
}

void Database::Apply(PreparedUpdate* c, uint64_t changed_at) noexcept {
  bool changes = !c->documents.patches.empty() || !c->documents.replacements.empty();
  c->collection->Commit(&c->documents, c->changes);
  if (changed_at != 0 && changes) c->collection->changed_at = changed_at;
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
