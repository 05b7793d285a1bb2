#include "db/select.h"

namespace moxal {

Status SelectDocuments(const std::vector<Value>& docs, IndexSet* indexes, const Filter* filter,
                       std::vector<size_t>* selected) {
  if (filter == nullptr) selected->reserve(docs.size());
  return ForEachMatch(docs, indexes, filter, [selected](size_t i) { selected->push_back(i); });
}

}  // namespace moxal
