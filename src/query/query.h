// Queries and update queries as clause lists.
//
// A query is an object. Each member is one clause: its key names a field
// (a "." separates nested names) and its value is the operand, or an object
// whose first member (in key order) is an operator keyword holding the
// operand, or an object that goes one level deeper into the field path:
//
//   {'age': 30}                          age            Equal 30
//   {'age': {'$gt': 30}}                 age            GreaterThan 30
//   {'address.city': 'Paris'}            address, city  Equal 'Paris'
//   {'address': {'city': {'$ne': 'P'}}}  address, city  NotEqual 'P'
//
// Clauses are kept in the key order of the query object.

#ifndef MOXAL_QUERY_QUERY_H_
#define MOXAL_QUERY_QUERY_H_

#include <string>
#include <string_view>
#include <vector>

#include "query/operators.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// One clause: a field path, an operand and an operator of the family Op.
template <class Op>
struct Clause {
  std::vector<std::string> fields;  // path from the document's top level
  Value value;                      // the operand, a copy of the query's
  Op operator_;                     // ("operator" is a keyword)
  // Per path name, the member index it was last found at (see
  // ObjectRef::FindIndex); only speeds up lookups.
  mutable std::vector<uint32_t> hints;
};

// Receives the trace lines update engines write while they are built.
using TraceFn = void (*)(std::string_view line);

// The clause list of one query, built for one call.
template <class Op>
class QueryEngine {
 public:
  // Builds one clause per member of `query`, in key order, and stops at the
  // first failure (a PanicException status with the parse message). An
  // update engine writes two trace lines per clause to `trace` (unless
  // null) as it goes:
  //   "Update operator found Increment\n"
  //   "Fields: [\"address\", \"city\"]\n"
  static Status New(ObjectRef query, QueryEngine* out,
                    TraceFn trace = nullptr);

  const std::vector<Clause<Op>>& clauses() const { return clauses_; }

  // Filters (QueryOperator, match.cc): sets *matched to whether `doc`
  // satisfies every clause. Clauses are joined by "and" and evaluated in
  // order; the first that does not hold ends the evaluation, so an error a
  // later clause would raise is not raised. Errors: ValueError "Malformed
  // query, non-numeric value found for operator {name}" when an ordering
  // operator meets a non-number; PanicException for a clause with an empty
  // path. The document is examined in place.
  Status execute(ObjectRef doc, bool* matched) const;

  // Update queries (UpdateOperator, apply.cc): applies every clause in
  // order to `*doc`, an object, each seeing what the ones before it did.
  // A clause changes only a member its path reaches: one whose path meets
  // a missing member or a non-object is skipped, and so is arithmetic on a
  // non-number field or (Add, Substract) with a non-number operand.
  // Arithmetic stores a float, or null where the result is not finite.
  // PanicException for a clause with an empty path; the clauses before it
  // stay applied.
  Status execute(Value* doc) const;

 private:
  std::vector<Clause<Op>> clauses_;
};

template <>
Status QueryEngine<QueryOperator>::execute(ObjectRef doc, bool* matched) const;
template <>
Status QueryEngine<UpdateOperator>::execute(Value* doc) const;

// Appends the field names found in (key, value) to `fields` (and the
// operator keyword last, when there is one) and sets *operand to the
// operand inside `value`. A parse failure is a PanicException status:
// "Not Valid query" for null or an array where a field value is expected,
// "Error while parsing query" for an empty object there.
Status parse_query(std::string_view key, ValueRef value,
                   std::vector<std::string>* fields, ValueRef* operand);

// The "Fields: [...]" trace line of a path, without its line feed.
std::string FieldsTraceLine(const std::vector<std::string>& fields);

// The PanicException status of a clause whose path is empty (its query key
// was only an operator keyword, as in {'$gt': 5}), met when it is evaluated
// or applied.
Status EmptyPathPanic();

}  // namespace moxal

#endif  // MOXAL_QUERY_QUERY_H_
