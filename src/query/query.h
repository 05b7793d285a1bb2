// Queries and update queries as clause lists.
//
// A query is an object. Each member gives a clause: its key names a field
// (a "." separates nested names) and its value is the operand, or an object
// whose first member (in key order) is an operator keyword holding the
// operand (an operator object), or an object that goes one level deeper
// into the field path, following its first member only:
//
//   {'age': 30}                          age            Equal 30
//   {'age': {'$gt': 30}}                 age            GreaterThan 30
//   {'address.city': 'Paris'}            address, city  Equal 'Paris'
//   {'address': {'city': {'$ne': 'P'}}}  address, city  NotEqual 'P'
//
// In a filter, every keyword member of an operator object gives a clause
// of its own on the same path, in key order, so that all of them must
// hold: {'age': {'$gte': 30, '$lt': 40}} is age GreaterThanEqual 30, then
// age LessThan 40 (members without "$" there are ignored). An update
// query takes the first operator of such an object only.
//
// Clauses are kept in the key order of the query object. Both kinds of
// query are parsed here; a Filter (filter.h) matches documents against
// comparison clauses, an Update (update.h) applies update clauses.

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

// Receives the trace lines update queries write while they are parsed.
using TraceFn = void (*)(std::string_view line);

// Builds one clause per member of `query`, in key order, into *clauses
// (emptied first), and stops at the first failure (a PanicException status
// with the parse message). Update clauses write two trace lines each to
// `trace` (unless null) as they are built:
//   "Update operator found Increment\n"
//   "Fields: [\"address\", \"city\"]\n"
template <class Op>
Status ParseClauses(ObjectRef query, TraceFn trace, std::vector<Clause<Op>>* clauses);

// Appends the names of the dotted path `key` to `fields`: every piece
// between dots is a name, empty pieces included ("a..b" names "a", "" and
// "b").
void SplitPath(std::string_view key, std::vector<std::string>* fields);

// Appends the field names found in (key, value) to `fields` (and the
// operator keyword last, when there is one) and sets *operand to the
// operand inside `value`. When that keyword is the first member of an
// object (an operator object), *operators is set to the object, unless
// `operators` is null. A parse failure is a PanicException status: "Not
// Valid query" for null or an array where a field value is expected,
// "Error while parsing query" for an empty object there.
Status ParseClause(std::string_view key, ValueRef value, std::vector<std::string>* fields,
                   ValueRef* operand, ValueRef* operators = nullptr);

// The "Fields: [...]" trace line of a path, without its line feed.
std::string FieldsTraceLine(const std::vector<std::string>& fields);

// The PanicException status of a clause whose path is empty (its query key
// was only an operator keyword, as in {'$gt': 5}), met when it is evaluated
// or applied.
Status EmptyPathPanic();

}  // namespace moxal

#endif  // MOXAL_QUERY_QUERY_H_
