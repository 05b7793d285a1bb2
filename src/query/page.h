// Which of a find's matches it returns, and in which order: a sort order,
// a number of matches to skip and a number to return at most.

#ifndef MOXAL_QUERY_PAGE_H_
#define MOXAL_QUERY_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace moxal {

// One key of a sort order: the value at a field path (split at dots, as a
// query's keys are), compared by CompareForSort (values/sort_order.h).
struct SortKey {
  std::vector<std::string> fields;
  bool descending = false;
};

struct Page {
  // Matches sort by the first key, then, among those that tie, by the
  // next; those that tie on every key stay in collection order. Empty:
  // collection order.
  std::vector<SortKey> sort;
  size_t skip = 0;   // matches left out from the start of the order
  size_t limit = 0;  // matches returned at most after those; 0: all

  // Every match, in collection order: what a find without a page returns.
  bool whole() const { return sort.empty() && skip == 0 && limit == 0; }
  // How many matches from the start of the order the page reaches into:
  // skip + limit, or SIZE_MAX without a limit.
  size_t end() const { return limit == 0 || skip > SIZE_MAX - limit ? SIZE_MAX : skip + limit; }
  // Bytes that tell pages apart: equal for equal pages only, empty for the
  // whole page. Throws std::bad_alloc.
  std::string Identity() const;
};

}  // namespace moxal

#endif  // MOXAL_QUERY_PAGE_H_
