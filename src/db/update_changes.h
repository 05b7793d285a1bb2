// Making an update's changes ready: shared by update and by the replay of
// an update recorded as its queries.

#ifndef MOXAL_DB_UPDATE_CHANGES_H_
#define MOXAL_DB_UPDATE_CHANGES_H_

#include "db/collection.h"
#include "query/filter.h"
#include "query/update.h"
#include "values/status.h"

#include <vector>

namespace moxal {

// Selects the documents of `c` that `filter` (when not null) matches and
// makes the change of each ready in *out, changing nothing: as patches for
// a document nobody else holds, whose lengths the update keeps, while the
// collection may be written in place; else as a new version. Errors: a
// document that is not an object, the filter's, a clause with an empty
// path, a document nested too deeply by the change. Throws std::bad_alloc.
Status PrepareDocumentChanges(const Update& changes, const Filter* filter, Collection& c,
                              DocumentChanges* out);

// The same for the documents at `positions` (ascending, each below the
// collection's size): an update replayed where it changed documents.
Status PrepareChangesAt(const Update& changes, const std::vector<size_t>& positions, Collection& c,
                        DocumentChanges* out);

}  // namespace moxal

#endif  // MOXAL_DB_UPDATE_CHANGES_H_
