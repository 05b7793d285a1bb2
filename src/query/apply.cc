// Applying update clauses to a document, or planning them as patches.

#include <bit>
#include <cassert>
#include <cmath>

#include "query/update.h"
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
    case UpdateOperator::Decrement:
      *out = f.ToDouble() + -1.0;
      return true;
    case UpdateOperator::Set:
    case UpdateOperator::Delete:
      break;  // not arithmetic
  }
  assert(false && "Arithmetic called with a non-arithmetic operator");
  return false;
}

// True when a value the walk to `path` went into, or the member it reached
// (`found`), lies inside a value one of `earlier` overwrites: the clause
// would then see bytes the patch changes.
bool ReadsPatched(ValueRef doc, const MemberPath& path, bool found, const Patch* earlier,
                  const Patch* end) {
  if (earlier == end) return false;
  auto patched = [&](size_t offset) {
    for (const Patch* p = earlier; p != end; ++p) {
      if (offset >= p->at && offset < size_t{p->at} + p->size) return true;
    }
    return false;
  };
  // path.objects[0] is the document itself, which no patch covers.
  for (int i = 1; i < path.count; ++i) {
    if (patched(path.objects[i])) return true;
  }
  if (!found) return false;
  ValueRef target = MemberAtPath(doc.as_object(), path).value;
  return patched(static_cast<size_t>(target.data() - doc.data()));
}

}  // namespace

bool Update::HasEmptyPath() const {
  for (const Clause<UpdateOperator>& c : clauses_) {
    if (c.fields.empty()) return true;
  }
  return false;
}

Status Update::Apply(Value* doc) const {
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
      case UpdateOperator::Add:
      case UpdateOperator::Substract:
      case UpdateOperator::Increment:
      case UpdateOperator::Decrement: {
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

bool Update::PlanPatches(ValueRef doc, uint32_t document, std::vector<Patch>* patches) const {
  if (sets_object_) return false;
  const size_t first = patches->size();
  auto decline = [&] {
    patches->resize(first);
    return false;
  };
  for (const Clause<UpdateOperator>& clause : clauses_) {
    assert(!clause.fields.empty());
    MemberPath path;
    bool found = FindMember(doc.as_object(), clause.fields, clause.hints.data(), &path);
    if (ReadsPatched(doc, path, found, patches->data() + first,
                     patches->data() + patches->size())) {
      return decline();
    }
    if (!found) continue;
    ValueRef field = MemberAtPath(doc.as_object(), path).value;
    Patch patch{document, static_cast<uint32_t>(field.data() - doc.data()),
                static_cast<uint32_t>(field.size()), false, 0};
    switch (clause.operator_) {
      case UpdateOperator::Delete:
        return decline();
      case UpdateOperator::Set:
        if (clause.value.size() != patch.size) return decline();
        patch.word = reinterpret_cast<uintptr_t>(clause.value.data());
        break;
      case UpdateOperator::Add:
      case UpdateOperator::Substract:
      case UpdateOperator::Increment:
      case UpdateOperator::Decrement: {
        double result;
        if (!Arithmetic(clause.operator_, field, clause.value.ref(), &result)) continue;
        if (!std::isfinite(result)) return decline();  // null is shorter
        patch.number = true;
        patch.word = std::bit_cast<uint64_t>(result);
        break;
      }
    }
    patches->push_back(patch);
  }
  return true;
}

}  // namespace moxal
