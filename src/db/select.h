// Choosing the documents of a collection that a filter matches.

#ifndef MOXAL_DB_SELECT_H_
#define MOXAL_DB_SELECT_H_

#include <cstddef>
#include <vector>

#include "query/filter.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// Appends to *selected the indices, in order, of the documents `filter`
// matches (of every document when `filter` is null). Every document must be
// an object: another kind ends the selection with the internal failure
// "called `Option::unwrap()` on a `None` value". An error of the filter
// ends it too and is returned as it is.
Status SelectDocuments(const std::vector<Value>& docs,
                       const Filter* filter,
                       std::vector<size_t>* selected);

}  // namespace moxal

#endif  // MOXAL_DB_SELECT_H_
