// Matching documents against filter clauses.

#include "query/query.h"
#include "values/equality.h"

namespace moxal {

namespace {

// The value at the end of `fields` in `doc`, or absent. Only objects are
// walked into: arrays are never entered and a name is never an index.
ValueRef Walk(ObjectRef doc, const Query<QueryOperator>& clause) {
  const std::vector<std::string>& fields = clause.fields;
  uint32_t* hints = clause.hints.data();
  ObjectRef at = doc;
  size_t last = fields.size() - 1;
  for (size_t i = 0;; ++i) {
    int64_t k = at.find_index(fields[i], &hints[i]);
    if (k < 0) return ValueRef();
    ValueRef v = at.member(static_cast<uint32_t>(k)).value;
    if (i == last) return v;
    if (!v.is_object()) return ValueRef();
    at = v.as_object();
  }
}

Status NonNumeric(QueryOperator op) {
  return Status::ValueError(std::string("Malformed query, non-numeric value found for operator ") +
                       DisplayName(op));
}

}  // namespace

Status EmptyPathPanic() {
  return Status::PanicException("a clause has an empty field path: its query key is only an operator");
}

template <>
Status QueryEngine<QueryOperator>::execute(ObjectRef doc, bool* matched) const {
  for (const Query<QueryOperator>& clause : clauses_) {
    if (clause.fields.empty()) return EmptyPathPanic();
    ValueRef field = Walk(doc, clause);
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
          double f = field.to_double();
          double v = operand.to_double();
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
