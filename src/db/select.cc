#include "db/select.h"

namespace moxal {

Status SelectDocuments(const std::vector<Value>& docs,
                       const Filter* filter,
                       std::vector<size_t>* selected) {
  if (filter == nullptr) selected->reserve(docs.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    ValueRef doc = docs[i].ref();
    if (!doc.is_object()) return Status::Internal(kUnwrapNone);
    bool matched = true;
    if (filter != nullptr) {
      if (Status s = filter->Matches(doc.as_object(), &matched); !s.ok()) return s;
    }
    if (matched) selected->push_back(i);
  }
  return Status();
}

}  // namespace moxal
