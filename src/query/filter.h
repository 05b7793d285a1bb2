// Matching documents against the comparison clauses of a query.

#ifndef MOXAL_QUERY_FILTER_H_
#define MOXAL_QUERY_FILTER_H_

#include <vector>

#include "query/query.h"

namespace moxal {

// The clause list of one filter query, built for one call.
class Filter {
 public:
  // Parses `query` (see ParseClauses); comparison clauses write no trace.
  static Status New(ObjectRef query, Filter* out);

  const std::vector<Clause<QueryOperator>>& clauses() const { return clauses_; }

  // Sets *matched to whether `doc` satisfies every clause. Clauses are
  // joined by "and" and evaluated in order; the first that does not hold
  // ends the evaluation, so an error a later clause would raise is not
  // raised. Errors: ValueError "Malformed query, non-numeric value found
  // for operator {name}" when an ordering operator meets a non-number;
  // PanicException for a clause with an empty path. The document is
  // examined in place.
  Status Matches(ObjectRef doc, bool* matched) const;

 private:
  std::vector<Clause<QueryOperator>> clauses_;
};

}  // namespace moxal

#endif  // MOXAL_QUERY_FILTER_H_
