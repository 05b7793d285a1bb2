// Choosing the documents of a collection that a filter matches.

#ifndef MOXAL_DB_SELECT_H_
#define MOXAL_DB_SELECT_H_

#include <cstddef>
#include <type_traits>
#include <vector>

#include "db/index_set.h"
#include "query/filter.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// Calls on_match(i), returning what it returns, or true when it returns
// nothing.
template <class OnMatch>
bool Continue(OnMatch& on_match, size_t i) {
  if constexpr (std::is_void_v<decltype(on_match(i))>) {
    on_match(i);
    return true;
  } else {
    return on_match(i);
  }
}

// Calls `on_match(i)` with the index of each document `filter` matches (of
// every document when `filter` is null), in order, as it is found, until
// on_match returns false (when it returns a bool). Every
// document must be an object: another kind ends the selection with the
// internal failure "called `Option::unwrap()` on a `None` value". An error
// of the filter ends it too and is returned as it is. What `on_match`
// throws passes through.
template <class OnMatch>
Status ForEachMatch(const std::vector<Value>& docs, const Filter* filter, OnMatch&& on_match) {
  for (size_t i = 0; i < docs.size(); ++i) {
    ValueRef doc = docs[i].ref();
    if (!doc.is_object()) return Status::Internal(kUnwrapNone);
    bool matched = true;
    if (filter != nullptr) {
      if (Status s = filter->Matches(doc.as_object(), &matched); !s.ok()) return s;
    }
    if (matched && !Continue(on_match, i)) break;
  }
  return Status();
}

// The same, through `indexes` (when not null) where an index can answer
// (IndexSet::Plan): then only the candidates it gives are checked, in
// order, with the same matches and errors as a scan.
template <class OnMatch>
Status ForEachMatch(const std::vector<Value>& docs, IndexSet* indexes, const Filter* filter,
                    OnMatch&& on_match) {
  std::vector<uint32_t> candidates;
  if (filter == nullptr || indexes == nullptr || !indexes->Plan(docs, *filter, &candidates)) {
    return ForEachMatch(docs, filter, on_match);
  }
  for (uint32_t i : candidates) {
    bool matched;
    if (Status s = filter->Matches(docs[i].ref().as_object(), &matched); !s.ok()) return s;
    if (matched && !Continue(on_match, size_t{i})) break;
  }
  return Status();
}

// The same, appending the indices to *selected.
Status SelectDocuments(const std::vector<Value>& docs, IndexSet* indexes, const Filter* filter,
                       std::vector<size_t>* selected);

}  // namespace moxal

#endif  // MOXAL_DB_SELECT_H_
