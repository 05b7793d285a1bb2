#include "query/operators.h"

namespace moxal {

namespace {

template <class Op>
struct Entry {
  const char* keyword;
  const char* name;
  Op op;
};

constexpr Entry<QueryOperator> kQueryOperators[] = {
    {"$eq", "Equal", QueryOperator::Equal},
    {"$ne", "NotEqual", QueryOperator::NotEqual},
    {"$gt", "GreaterThan", QueryOperator::GreaterThan},
    {"$gte", "GreaterThanEqual", QueryOperator::GreaterThanEqual},
    {"$lt", "LessThan", QueryOperator::LessThan},
    {"$lte", "LessThanEqual", QueryOperator::LessThanEqual},
};

constexpr Entry<UpdateOperator> kUpdateOperators[] = {
    {"$set", "Set", UpdateOperator::Set},
    {"$add", "Add", UpdateOperator::Add},
    {"$substract", "Substract", UpdateOperator::Substract},
    {"$inc", "Increment", UpdateOperator::Increment},
    {"$dec", "Decrement", UpdateOperator::Decrement},
    {"$delete", "Delete", UpdateOperator::Delete},
};

template <class Op, size_t N>
bool Find(const Entry<Op> (&table)[N], std::string_view keyword, Op* op) {
  for (const auto& e : table) {
    if (keyword == e.keyword) {
      *op = e.op;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* DisplayName(QueryOperator op) { return kQueryOperators[static_cast<int>(op)].name; }

const char* DisplayName(UpdateOperator op) { return kUpdateOperators[static_cast<int>(op)].name; }

bool FromKeyword(std::string_view keyword, QueryOperator* op) {
  return Find(kQueryOperators, keyword, op);
}

bool FromKeyword(std::string_view keyword, UpdateOperator* op) {
  return Find(kUpdateOperators, keyword, op);
}

}  // namespace moxal
