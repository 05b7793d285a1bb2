// Matching documents against filter clauses.

#include "query/filter.h"
#include "values/equality.h"
#include "values/member_path.h"
#include "values/number_order.h"

namespace moxal {

namespace {

// The value the clause's path reaches in `doc`, or absent.
ValueRef FieldValue(ObjectRef doc, const Clause<QueryOperator>& clause) {
  ObjectRef holder = doc;
  int64_t k = FollowPath(doc, clause.fields, clause.hints.data(), &holder, [](ObjectRef) {});
  return k < 0 ? ValueRef() : holder.member(static_cast<uint32_t>(k)).value;
}

Status NonNumeric(QueryOperator op) {
  return Status::InvalidQuery(
      std::string("Malformed query, non-numeric value found for operator ") + DisplayName(op));
}

// Whether `field` and `operand`, both numbers, satisfy the ordering
// operator `op`, by their exact values; false for an equality operator,
// which compares values.
bool Ordered(QueryOperator op, ValueRef field, ValueRef operand) {
  int order = CompareNumbers(field, operand);
  switch (op) {
    case QueryOperator::GreaterThan:
      return order > 0;
    case QueryOperator::GreaterThanEqual:
      return order >= 0;
    case QueryOperator::LessThan:
      return order < 0;
    case QueryOperator::LessThanEqual:
      return order <= 0;
    case QueryOperator::Equal:
    case QueryOperator::NotEqual:
      break;
  }
  return false;
}

// Sets *holds to whether `field` satisfies `op` with `operand`. False when
// an ordering operator meets a non-number (*holds is then not set).
bool Compare(QueryOperator op, ValueRef field, ValueRef operand, bool* holds) {
  switch (op) {
    case QueryOperator::Equal:
      *holds = Equal(field, operand);
      return true;
    case QueryOperator::NotEqual:
      *holds = !Equal(field, operand);
      return true;
    case QueryOperator::GreaterThan:
    case QueryOperator::GreaterThanEqual:
    case QueryOperator::LessThan:
    case QueryOperator::LessThanEqual:
      if (!field.is_number() || !operand.is_number()) return false;
      *holds = Ordered(op, field, operand);
      return true;
  }
  return true;
}

}  // namespace

Status EmptyPathPanic() {
  return Status::Internal("a clause has an empty field path: its query key is only an operator");
}

Status Filter::Matches(ObjectRef doc, bool* matched) const {
  for (const Clause<QueryOperator>& clause : clauses_) {
    if (clause.fields.empty()) return EmptyPathPanic();
    ValueRef field = FieldValue(doc, clause);
    bool holds = false;
    if (field) {
      if (!Compare(clause.operator_, field, clause.value.ref(), &holds)) {
        return NonNumeric(clause.operator_);
      }
    }
    if (!holds) {
      *matched = false;
      return Status();
    }
  }
  *matched = true;
  return Status();
}

}  // namespace moxal
