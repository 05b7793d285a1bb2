// Applying update clauses to a document.

#include <bit>
#include <cmath>

#include "query/query.h"
#include "values/edit.h"

namespace moxal {

namespace {

// The encoded float `v`, or null when `v` is not finite.
struct NumberBytes {
  explicit NumberBytes(double v) {
    if (std::isfinite(v)) {
      bytes[0] = tag::kFloat;
      StoreU64(bytes + 1, std::bit_cast<uint64_t>(v));
    } else {
      bytes[0] = tag::kNull;
    }
  }
  ValueRef ref() const { return ValueRef(bytes); }
  uint8_t bytes[kNumberSize];
};

// The new value of an arithmetic clause on field `f`, or false when the
// clause does not apply (a non-number field, or operand where one is used).
bool Arithmetic(UpdateOperator op, ValueRef f, ValueRef v, double* out) {
  if (!f.is_number()) return false;
  switch (op) {
    case UpdateOperator::Add:
      if (!v.is_number()) return false;
      *out = f.ToDouble() + v.ToDouble();
      return true;
    case UpdateOperator::Substract:
      if (!v.is_number()) return false;
      *out = f.ToDouble() - v.ToDouble();
      return true;
    case UpdateOperator::Increment:
      *out = f.ToDouble() + 1.0;  // the operand is ignored
      return true;
    default:  // Decrement
      *out = f.ToDouble() + -1.0;
      return true;
  }
}

}  // namespace

template <>
Status QueryEngine<UpdateOperator>::execute(Value* doc) const {
  for (const Clause<UpdateOperator>& clause : clauses_) {
    if (clause.fields.empty()) return EmptyPathPanic();
    MemberPath path;
    // A path through a missing member or a non-object skips the clause;
    // so does a missing target: no operator ever creates a field.
    if (!FindMember(doc->ref().as_object(), clause.fields, clause.hints.data(), &path)) continue;
    switch (clause.operator_) {
      case UpdateOperator::Delete:
        RemoveMember(doc, path);
        break;
      case UpdateOperator::Set:
        ReplaceMemberValue(doc, path, clause.value.ref());
        break;
      default: {
        double result;
        ValueRef field = MemberAtPath(doc->ref().as_object(), path).value;
        if (!Arithmetic(clause.operator_, field, clause.value.ref(), &result)) break;
        NumberBytes bytes(result);
        ReplaceMemberValue(doc, path, bytes.ref());
        break;
      }
    }
  }
  return Status();
}

}  // namespace moxal
