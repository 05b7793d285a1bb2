// Matching documents against filter clauses.

#include "query/query.h"
#include "values/equality.h"
#include "values/member_path.h"

namespace moxal {

namespace {

// The value the clause's path reaches in `doc`, or absent.
ValueRef FieldValue(ObjectRef doc, const Clause<QueryOperator>& clause) {
  ObjectRef holder = doc;
  int64_t k = FollowPath(doc, clause.fields, clause.hints.data(), &holder, [](ObjectRef) {});
  return k < 0 ? ValueRef() : holder.member(static_cast<uint32_t>(k)).value;
}

Status NonNumeric(QueryOperator op) {
  return Status::InvalidQuery(std::string("Malformed query, non-numeric value found for operator ") +
                       DisplayName(op));
}

}  // namespace

Status EmptyPathPanic() {
  return Status::Internal("a clause has an empty field path: its query key is only an operator");
}

template <>
Status QueryEngine<QueryOperator>::execute(ObjectRef doc, bool* matched) const {
  for (const Clause<QueryOperator>& clause : clauses_) {
    if (clause.fields.empty()) return EmptyPathPanic();
    ValueRef field = FieldValue(doc, clause);
    bool holds = false;
    if (field) {
      ValueRef operand = clause.value.ref();
      switch (clause.operator_) {
        case QueryOperator::Equal:
          holds = Equal(field, operand);
          break;
        case QueryOperator::NotEqual:
          holds = !Equal(field, operand);
          break;
        default: {
          if (!field.is_number() || !operand.is_number()) return NonNumeric(clause.operator_);
          double f = field.ToDouble();
          double v = operand.ToDouble();
          switch (clause.operator_) {
            case QueryOperator::GreaterThan: holds = f > v; break;
            case QueryOperator::GreaterThanEqual: holds = f >= v; break;
            case QueryOperator::LessThan: holds = f < v; break;
            default: holds = f <= v; break;
          }
        }
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
