// Updating documents.
//
// An update is all or nothing. Everything that can fail is checked before
// the first document changes: the update query and the filter are parsed,
// the filter is evaluated against every document, every document is checked
// to be an object, a clause with an empty path is caught when some document
// would reach it, and a Set that would nest a document deeper than its file
// can hold is caught too. Only then are the selected documents changed.
// A failure leaves every document as it was, and later calls work normally.

#include "conversion/to_python.h"
#include "conversion/to_value.h"
#include "lib/database.h"
#include "lib/db_common.h"
#include "lib/paths.h"
#include "lib/raise.h"
#include "query/query.h"
#include "values/equality.h"

namespace moxal {

namespace {

// An error that update reports as an internal failure describing it.
Status AsPanic(const Status& s) {
  if (s.kind() == ErrorKind::kPanicException) return s;
  return Status::PanicException(std::string(kUnwrapErrPrefix) + DescribeAsException(s));
}

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

}  // namespace

Result<PyRef> Database::update(std::string_view collection_name, PyObject* update_query,
                               PyObject* maybe_query, bool return_result) {
  cache_.Reset();  // first of all, whatever happens next
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  CollectionPtr c = Get(collection_name);
  if (c == nullptr) {
    if (Status s = update_in_memory_collections(collection_name); !s.ok()) return AsPanic(s);
    c = Get(collection_name);
  }

  Value update_value;
  ConversionError error;
  if (!ToValue(update_query, kMaxNesting, &update_value, &error)) return ConversionPanic(error);
  QueryEngine<UpdateOperator> changes;  // writes the trace lines
  if (Status s = QueryEngine<UpdateOperator>::New(update_value.ref().as_object(), &changes);
      !s.ok()) {
    return s;
  }

  // Select, checking every document, before anything changes.
  std::vector<size_t> selected;
  if (maybe_query != nullptr) {
    Value filter_value;
    if (!ToValue(maybe_query, kMaxNesting, &filter_value, &error)) return ConversionPanic(error);
    QueryEngine<QueryOperator> filter;
    if (Status s = QueryEngine<QueryOperator>::New(filter_value.ref().as_object(), &filter);
        !s.ok()) {
      return s;
    }
    for (size_t i = 0; i < c->docs.size(); ++i) {
      ValueRef doc = c->docs[i].ref();
      if (!doc.is_object()) return Status::PanicException(kUnwrapNone);
      bool matched;
      if (Status s = filter.execute(doc.as_object(), &matched); !s.ok()) return AsPanic(s);
      if (matched) selected.push_back(i);
    }
  } else {
    selected.reserve(c->docs.size());
    for (size_t i = 0; i < c->docs.size(); ++i) {
      if (!c->docs[i].ref().is_object()) return Status::PanicException(kUnwrapNone);
      selected.push_back(i);
    }
  }
  if (!selected.empty() && HasEmptyPath(changes)) return EmptyPathPanic();

  if (!return_result && !MayNestTooDeeply(changes)) {
    // Nothing can fail from here: change the documents in place.
    for (size_t i : selected) {
      if (Status s = changes.execute(&c->docs[i]); !s.ok()) return s;
    }
    c->Touch();
    return PyRef::Borrow(Py_None);
  }

  // Otherwise the changed documents are made as copies first, and kept only
  // when every one fits and, with return_result, the returned list could be
  // built: the collection changes only when the whole call succeeds.
  std::vector<Value> changed;
  changed.reserve(selected.size());
  for (size_t i : selected) {
    Value doc = c->docs[i];  // shared: the edits copy it
    if (Status s = changes.execute(&doc); !s.ok()) return s;
    if (Depth(doc.ref()) > kMaxDocumentDepth) {
      return Status::ValueError(
          "Update refused: it would nest a document deeper than the JSON nesting limit of " +
          std::to_string(kMaxNesting) + " levels (its collection's array included)");
    }
    changed.push_back(std::move(doc));
  }
  PyRef result = PyRef::Borrow(Py_None);
  if (return_result) {
    std::vector<Value> after = c->docs;  // shares every document
    for (size_t k = 0; k < selected.size(); ++k) after[selected[k]] = changed[k];
    Result<PyRef> list = ToPythonList(after);
    if (!list.ok()) return list.take_status();
    result = list.take();
  }
  for (size_t k = 0; k < selected.size(); ++k) c->docs[selected[k]] = std::move(changed[k]);
  c->Touch();
  return result;
}

}  // namespace moxal
