#include <cassert>

#include "query/filter.h"
#include "query/query.h"
#include "query/update.h"
#include "values/debug_text.h"

namespace moxal {

void SplitPath(std::string_view key, std::vector<std::string>* fields) {
  for (size_t start = 0;;) {
    size_t dot = key.find('.', start);
    if (dot == std::string_view::npos) {
      fields->emplace_back(key.substr(start));
      return;
    }
    fields->emplace_back(key.substr(start, dot - start));
    start = dot + 1;
  }
}

Status ParseClause(std::string_view key, ValueRef value, std::vector<std::string>* fields,
                   ValueRef* operand, ValueRef* operators) {
  SplitPath(key, fields);
  switch (value.kind()) {
    case Kind::kBool:
    case Kind::kNumber:
    case Kind::kString:
      *operand = value;
      return Status();
    case Kind::kNull:
    case Kind::kArray:
      return Status::QuerySyntax("Not Valid query");
    case Kind::kObject:
      break;
  }
  ObjectRef obj = value.as_object();
  if (obj.count() == 0) return Status::QuerySyntax("Error while parsing query");
  // The first member in key order decides: an operator, or a name to
  // descend into (the other members are then ignored).
  Member first = obj.member(0);
  if (!first.key.empty() && first.key.front() == '$') {
    fields->emplace_back(first.key);  // a keyword is never split at "."
    *operand = first.value;
    if (operators != nullptr) *operators = value;
    return Status();
  }
  return ParseClause(first.key, first.value, fields, operand, operators);
}

std::string FieldsTraceLine(const std::vector<std::string>& fields) {
  std::string line = "Fields: [";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) line += ", ";
    line += DebugQuote(fields[i]);
  }
  line += "]";
  return line;
}

namespace {

bool IsKeyword(std::string_view name) { return !name.empty() && name.front() == '$'; }

}  // namespace

template <class Op>
Status ParseClauses(ObjectRef query, TraceFn trace, std::vector<Clause<Op>>* clauses) {
  using Family = OperatorFamily<Op>;
  assert(Family::kTraced || trace == nullptr);
  clauses->clear();
  clauses->reserve(query.count());
  for (Member m : query) {
    Clause<Op> clause;
    ValueRef operand;
    ValueRef operators;
    if (Status s = ParseClause(m.key, m.value, &clause.fields, &operand, &operators); !s.ok()) {
      return s;
    }
    assert(!clause.fields.empty());  // a key gives one name at least
    clause.operator_ = Family::kImplicit;
    const std::string& last = clause.fields.back();
    if (IsKeyword(last)) {
      if (!FromKeyword(last, &clause.operator_)) {
        return Status::QuerySyntax(std::string(Family::kUnknown) + last);
      }
      clause.fields.pop_back();
    }
    if constexpr (Family::kTraced) {
      std::string lines = std::string("Update operator found ") + DisplayName(clause.operator_) +
                          "\n" + FieldsTraceLine(clause.fields) + "\n";
      if (trace != nullptr) trace(lines);
    }
    clause.value = Value::CopyOf(operand);
    clause.hints.assign(clause.fields.size(), 0);
    clauses->push_back(std::move(clause));
    if constexpr (Family::kEveryOperator) {
      if (!operators) continue;
      // The other operators of the object, in key order, on the same path;
      // its members that are no keyword are ignored.
      ObjectRef more = operators.as_object();
      for (uint32_t i = 1; i < more.count(); ++i) {
        Member next = more.member(i);
        if (!IsKeyword(next.key)) continue;
        Clause<Op> also;
        if (!FromKeyword(next.key, &also.operator_)) {
          return Status::QuerySyntax(std::string(Family::kUnknown) + std::string(next.key));
        }
        also.fields = clauses->back().fields;
        also.value = Value::CopyOf(next.value);
        also.hints.assign(also.fields.size(), 0);
        clauses->push_back(std::move(also));
      }
    }
  }
  return Status();
}

template Status ParseClauses(ObjectRef, TraceFn, std::vector<Clause<QueryOperator>>*);
template Status ParseClauses(ObjectRef, TraceFn, std::vector<Clause<UpdateOperator>>*);

Status Filter::New(ObjectRef query, Filter* out) {
  return ParseClauses(query, nullptr, &out->clauses_);
}

Status Update::New(ObjectRef query, Update* out, TraceFn trace) {
  out->sets_object_ = false;
  if (Status s = ParseClauses(query, trace, &out->clauses_); !s.ok()) return s;
  for (const Clause<UpdateOperator>& c : out->clauses_) {
    if (c.operator_ == UpdateOperator::Set && c.value.ref().is_object()) out->sets_object_ = true;
  }
  return Status();
}

}  // namespace moxal
