// Updating documents.
//
// An update is all or nothing. Everything that can fail is checked before
// the first document changes: the update query and the filter are parsed,
// the filter is evaluated against every document, every document is checked
// to be an object, a clause with an empty path is caught when some document
// would reach it, and a Set that would nest a document deeper than its file
// can hold is caught too. Only then are the selected documents changed.
// A failure leaves every document as it was, and later calls work normally.

#include "db/database.h"
#include "db/collection_names.h"
#include "db/select.h"
#include "query/query.h"
#include "values/equality.h"

namespace moxal {

namespace {

// True when some Set clause could nest a document too deeply: its operand,
// placed under its path, would go past the limit.
bool MayNestTooDeeply(const QueryEngine<UpdateOperator>& engine) {
  for (const auto& c : engine.clauses()) {
    if (c.operator_ == UpdateOperator::Set &&
        static_cast<int>(c.fields.size()) + Depth(c.value.ref()) > kMaxDocumentDepth) {
      return true;
    }
  }
  return false;
}

bool HasEmptyPath(const QueryEngine<UpdateOperator>& engine) {
  for (const auto& c : engine.clauses()) {
    if (c.fields.empty()) return true;
  }
  return false;
}

// Parses the update query (writing its trace lines) and the filter, and
// selects the documents to change. Nothing changes yet.
Status Plan(const Converted<Value>& update_query, const Converted<Value>* maybe_query,
            const std::vector<Value>& docs, TraceFn trace,
            QueryEngine<UpdateOperator>* changes, std::vector<size_t>* selected) {
  if (!update_query.error.ok()) return update_query.error;
  if (Status s = QueryEngine<UpdateOperator>::New(update_query.value.ref().as_object(), changes,
                                                  trace);
      !s.ok()) {
    return s;
  }
  QueryEngine<QueryOperator> filter;
  if (maybe_query != nullptr) {
    if (!maybe_query->error.ok()) return maybe_query->error;
    if (Status s = QueryEngine<QueryOperator>::New(maybe_query->value.ref().as_object(), &filter);
        !s.ok()) {
      return s;
    }
  }
  Status s = SelectDocuments(docs, maybe_query != nullptr ? &filter : nullptr, selected);
  if (!s.ok()) return Status::InternalFrom(s);
  if (!selected->empty() && HasEmptyPath(*changes)) return EmptyPathPanic();
  return Status();
}

// The selected documents as the update leaves them, made as copies (the
// collection's own stay as they are), each checked to fit in its file.
Status ChangedCopies(const QueryEngine<UpdateOperator>& changes, const std::vector<Value>& docs,
                     const std::vector<size_t>& selected, std::vector<Value>* changed) {
  changed->reserve(selected.size());
  for (size_t i : selected) {
    Value doc = docs[i];  // shared: the edits copy it
    if (Status s = changes.execute(&doc); !s.ok()) return s;
    if (Depth(doc.ref()) > kMaxDocumentDepth) {
      return Status::TooDeep(
          "Update refused: it would nest a document deeper than the JSON nesting limit of " +
          std::to_string(kMaxNesting) + " levels (its collection's array included)");
    }
    changed->push_back(std::move(doc));
  }
  return Status();
}

}  // namespace

Status Database::update(std::string_view collection_name, const Converted<Value>& update_query,
                        const Converted<Value>* maybe_query, bool return_result,
                        PendingUpdate* pending, TraceFn trace) {
  cache_.Reset();  // first of all, whatever happens next
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c;
  if (Status s = get_or_load(collection_name, &c); !s.ok()) return Status::InternalFrom(s);

  QueryEngine<UpdateOperator> changes;
  std::vector<size_t> selected;
  if (Status s = Plan(update_query, maybe_query, c->docs, trace, &changes, &selected);
      !s.ok()) {
    return s;
  }

  if (!return_result && !MayNestTooDeeply(changes)) {
    // Nothing can fail from here: change the documents in place.
    for (size_t i : selected) {
      if (Status s = changes.execute(&c->docs[i]); !s.ok()) return s;
    }
    c->Touch();
    return Status();
  }

  // Otherwise the changed documents are made as copies first, and stored
  // only when every one fits and, with return_result, once the caller has
  // built its result from them: the collection changes only when the whole
  // call succeeds.
  std::vector<Value> changed;
  if (Status s = ChangedCopies(changes, c->docs, selected, &changed); !s.ok()) return s;
  pending->collection = std::move(c);
  pending->selected = std::move(selected);
  pending->changed = std::move(changed);
  if (!return_result) {
    commit_update(pending);
    return Status();
  }
  pending->after = pending->collection->docs;  // shares every document
  for (size_t k = 0; k < pending->selected.size(); ++k) {
    pending->after[pending->selected[k]] = pending->changed[k];
  }
  return Status();
}

void Database::commit_update(PendingUpdate* pending) {
  Collection& c = *pending->collection;
  for (size_t k = 0; k < pending->selected.size(); ++k) {
    c.docs[pending->selected[k]] = std::move(pending->changed[k]);
  }
  c.Touch();
}

}  // namespace moxal
