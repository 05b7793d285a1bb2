// Choosing the page of a collection's matches that a find with a sort
// order, a skip or a limit returns.
//
// Without a sort order, the page is the matches in collection order from
// the skip-th on, and matching stops once the page is full: a document
// after the page is never looked at, so an error matching it would raise
// is not raised.
//
// With one, every match is found first (with the errors a find without a
// page meets), then ordered, ties by position, and only the matches up to
// the page's end are put in order (a partial sort over positions): no
// document is built or copied to sort.
//
// Through an order index, when the first sort key's path has one that
// lists every value there in sort order (IndexSet::SortOrder) and the
// filter cannot fail on any document (it then gives the same matches in
// any order, and no error): the index is walked in the sort order, over
// the keys the filter's clauses on that path leave (a range, an equal
// number), the filter checked on each document it gives, until the page
// is full. A page of k documents then costs about k lookups, unless the
// filter rules out most of what the walk meets; when an index answers for
// the filter with candidates fewer than a walk would likely visit, those
// are sorted instead. The documents holding nothing at the path come
// first in ascending order, last in descending order, and are found by a
// scan when the page reaches them (unless a clause on the path rules them
// out). Keys the index holds as equal doubles are put in exact order
// (integers beyond 2^53), and ties on the first key in the order of the
// following keys.

#ifndef MOXAL_DB_PAGE_SELECT_H_
#define MOXAL_DB_PAGE_SELECT_H_

#include <cstddef>
#include <vector>

#include "db/index_set.h"
#include "query/filter.h"
#include "query/page.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// How a page was chosen, for tests.
struct PageStats {
  bool through_index = false;
  size_t visited = 0;  // index entries the walk met
};

// Appends to *selected the positions of the documents of `docs` on `page`
// (in the page's order) among those `filter` matches, through `indexes`
// when not null. Without a filter every document matches, and one that is
// not an object holds nothing at any path; with one, such a document is
// the internal failure a find meets. Errors are the filter's, as
// ForEachMatch reports them. Throws std::bad_alloc.
Status SelectPage(const std::vector<Value>& docs, IndexSet* indexes, const Filter* filter,
                  const Page& page, std::vector<size_t>* selected, PageStats* stats = nullptr);

// Puts `positions` (ascending) in the order of `sort`, ties by position,
// keeping the first `keep` of that order only. Throws std::bad_alloc.
void OrderPositions(const std::vector<Value>& docs, const std::vector<SortKey>& sort, size_t keep,
                    std::vector<size_t>* positions);

}  // namespace moxal

#endif  // MOXAL_DB_PAGE_SELECT_H_
