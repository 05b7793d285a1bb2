// The two operator families of the query language.

#ifndef MOXAL_QUERY_OPERATORS_H_
#define MOXAL_QUERY_OPERATORS_H_

#include <cstdint>
#include <string_view>

namespace moxal {

// Comparison operators of filters. The enumerator names are also the names
// messages show ("GreaterThan").
enum class QueryOperator : uint8_t {
  Equal,             // "$eq"
  NotEqual,          // "$ne"
  GreaterThan,       // "$gt"
  GreaterThanEqual,  // "$gte"
  LessThan,          // "$lt"
  LessThanEqual,     // "$lte"
};

// Operators of update queries.
enum class UpdateOperator : uint8_t {
  Set,        // "$set"
  Add,        // "$add"
  Substract,  // "$substract"
  Increment,  // "$inc"
  Decrement,  // "$dec"
  Delete,     // "$delete"
};

const char* DisplayName(QueryOperator op);
const char* DisplayName(UpdateOperator op);

// Looks a keyword up in its family's table (whole text, case-sensitive).
bool FromKeyword(std::string_view keyword, QueryOperator* op);
bool FromKeyword(std::string_view keyword, UpdateOperator* op);

// What each family needs to know when parsing.
template <class Op>
struct OperatorFamily;

template <>
struct OperatorFamily<QueryOperator> {
  static constexpr QueryOperator kImplicit = QueryOperator::Equal;
  static constexpr const char* kUnknown = "Unknown query operator found: ";
  static constexpr bool kTraced = false;
  // Every operator of an operator object counts, not only the first.
  static constexpr bool kEveryOperator = true;
};

template <>
struct OperatorFamily<UpdateOperator> {
  static constexpr UpdateOperator kImplicit = UpdateOperator::Set;
  static constexpr const char* kUnknown = "Unknown update query operator found: ";
  static constexpr bool kTraced = true;
  static constexpr bool kEveryOperator = false;
};

}  // namespace moxal

#endif  // MOXAL_QUERY_OPERATORS_H_
