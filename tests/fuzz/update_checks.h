// The properties the update fuzz harness checks on every input, shared with
// the unit tests: the replay of the seed corpus and the saved regressions,
// and update_test.cc, whose documented cases also hold the model to them.
//
// An input is an update query and a document, both JSON, joined by a NUL
// byte (which valid JSON text never holds). Updates edit the encoded
// document in place, splicing bytes and patching the sizes and member
// tables of every enclosing object, which is the easiest code to get
// subtly wrong. So each update is applied twice over: to a document nobody
// else holds (edits in place where lengths allow) and to one that is shared
// (every edit copies), and both must equal what a plain rebuild of the
// document gives, be well-formed blobs, write JSON that reads back equal,
// and leave the shared original untouched. The update is then applied once
// more to its own result. The same query also runs as a filter, for crashes
// and sanitizer reports only.

#ifndef MOXAL_TESTS_FUZZ_UPDATE_CHECKS_H_
#define MOXAL_TESTS_FUZZ_UPDATE_CHECKS_H_

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "blob_check.h"
#include "json_text.h"
#include "query/filter.h"
#include "query/update.h"
#include "values/builder.h"
#include "values/equality.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

namespace moxal::fuzz {

inline void NoTrace(std::string_view) {}

using UpdateClause = Clause<UpdateOperator>;

// The result of an arithmetic clause on `field`, or false when it leaves
// the field alone: a non-number field, or a non-number operand of $add or
// $substract ($inc and $dec ignore theirs).
inline bool ModelArithmetic(UpdateOperator op, ValueRef field, ValueRef operand, double* out) {
  if (!field.is_number()) return false;
  double f = field.ToDouble();
  if (op == UpdateOperator::Increment || op == UpdateOperator::Decrement) {
    *out = op == UpdateOperator::Increment ? f + 1.0 : f - 1.0;
    return true;
  }
  if (!operand.is_number()) return false;
  *out = op == UpdateOperator::Add ? f + operand.ToDouble() : f - operand.ToDouble();
  return true;
}

// Emits `v` again, event by event: the model builds its documents without
// the code it checks.
inline void ModelCopy(Builder& b, ValueRef v) {
  switch (v.kind()) {
    case Kind::kNull:
      return b.Null();
    case Kind::kBool:
      return b.Bool(v.as_bool());
    case Kind::kNumber:
      if (v.tag() == tag::kUnsigned) return b.Unsigned(v.as_unsigned());
      if (v.tag() == tag::kNegative) return b.Negative(v.as_negative());
      return b.Float(v.as_float());
    case Kind::kString:
      return b.String(v.as_string());
    case Kind::kArray:
      b.BeginArray();
      for (ValueRef e : v.as_array()) ModelCopy(b, e);
      return b.EndArray();
    case Kind::kObject:
      b.BeginObject();
      for (Member m : v.as_object()) {
        b.Key(m.key);
        ModelCopy(b, m.value);
      }
      return b.EndObject();
  }
}

// Emits the object `obj` with `c` applied below path position `i`, member by
// member, without touching any blob.
inline void ModelEmit(Builder& b, ObjectRef obj, const UpdateClause& c, size_t i) {
  b.BeginObject();
  for (Member m : obj) {
    if (m.key != c.fields[i]) {
      b.Key(m.key);
      ModelCopy(b, m.value);
    } else if (i + 1 < c.fields.size()) {
      b.Key(m.key);
      if (m.value.is_object()) {
        ModelEmit(b, m.value.as_object(), c, i + 1);
      } else {
        ModelCopy(b, m.value);
      }
    } else if (c.operator_ == UpdateOperator::Set) {
      b.Key(m.key);
      ModelCopy(b, c.value.ref());
    } else if (c.operator_ != UpdateOperator::Delete) {
      b.Key(m.key);
      double r;
      if (!ModelArithmetic(c.operator_, m.value, c.value.ref(), &r)) {
        ModelCopy(b, m.value);
      } else if (std::isfinite(r)) {
        b.Float(r);
      } else {
        b.Null();
      }
    }
  }
  b.EndObject();
}

// The document after the clauses, up to the first one without a path. A
// path of more names than a document may nest levels is never followed.
inline Value ModelApply(const Value& doc, const std::vector<UpdateClause>& clauses) {
  Value out = doc;
  Builder b;
  for (const UpdateClause& c : clauses) {
    if (c.fields.empty()) break;
    if (c.fields.size() > size_t{kMaxNesting} + 1) continue;
    ModelEmit(b, out.ref().as_object(), c, 0);
    out = b.Finish();
  }
  return out;
}

// "" when `got` (from `what`) is a sound blob equal to `want` whose text
// reads back, else what is wrong.
inline std::string CheckResult(const char* what, const Value& got, const Value& want) {
  std::string w = what;
  if (std::string bad = CheckBlob(got); !bad.empty()) return w + " blob: " + bad;
  std::string text = ToJson(got.ref());
  if (!Equal(got.ref(), want.ref()) || text != ToJson(want.ref())) {
    return w + " differs from a rebuild: " + text + " vs " + ToJson(want.ref());
  }
  Value back;
  bool ok = ParseJson(text, &back);
  if (Depth(got.ref()) > kMaxNesting) {  // the caller refuses such updates
    return ok ? w + " text nested too deeply reads" : "";
  }
  if (!ok || !Equal(back.ref(), got.ref()) || ToJson(back.ref()) != text) {
    return w + " text does not read back equal: " + text;
  }
  return "";
}

// "" when the patches `engine` plans for `doc`, if it plans any, give
// `want`, else what is wrong.
inline std::string CheckPatches(const Update& engine, const Value& doc, const Value& want) {
  if (engine.HasEmptyPath()) return "";                     // never planned: the caller fails first
  std::vector<Patch> patches(1, Patch{7, 0, 0, false, 0});  // one of someone else's
  std::string before = ToJson(doc.ref());
  if (!engine.PlanPatches(doc.ref(), 3, &patches)) {
    return patches.size() == 1 ? "" : "declined patches left behind";
  }
  if (ToJson(doc.ref()) != before) return "planning patches changed the document";
  Value patched = Value::CopyOf(doc.ref());
  for (size_t i = 1; i < patches.size(); ++i) {
    if (patches[i].document != 3) return "a patch for another document";
    ApplyPatch(patched.mutable_data(), patches[i]);
  }
  return CheckResult("patched copy", patched, want);
}

// Applies `engine` to a private copy and to a shared copy of `doc`, and as
// planned patches.
inline std::string CheckApply(const Update& engine, const Value& doc, Value* result) {
  Value want = ModelApply(doc, engine.clauses());
  if (std::string bad = CheckPatches(engine, doc, want); !bad.empty()) return bad;
  std::string before = ToJson(doc.ref());
  Value unique = Value::CopyOf(doc.ref());
  Status su = engine.Apply(&unique);
  Value shared = doc;
  Status ss = engine.Apply(&shared);
  if (su.ok() != ss.ok() || su.message() != ss.message()) {
    return "private and shared copies fail differently";
  }
  if (ToJson(doc.ref()) != before) return "update changed a shared document";
  if (std::string bad = CheckResult("private copy", unique, want); !bad.empty()) return bad;
  if (std::string bad = CheckResult("shared copy", shared, want); !bad.empty()) return bad;
  *result = unique;
  return "";
}

// "" when the input `data` passes every check, else the first failure.
inline std::string CheckUpdateInput(std::string_view data) {
  size_t nul = data.find('\0');
  if (nul == std::string_view::npos) return "";
  Value query, doc;
  if (!ParseJson(data.substr(0, nul), &query) || !query.ref().is_object()) return "";
  if (!ParseJson(data.substr(nul + 1), &doc) || !doc.ref().is_object()) return "";

  Filter filter;
  if (Filter::New(query.ref().as_object(), &filter).ok()) {
    bool matched = false;
    (void)filter.Matches(doc.ref().as_object(), &matched);
  }
  Update engine;
  if (!Update::New(query.ref().as_object(), &engine, NoTrace).ok()) {
    return "";
  }
  Value once, twice;
  if (std::string bad = CheckApply(engine, doc, &once); !bad.empty()) return bad;
  if (std::string bad = CheckApply(engine, once, &twice); !bad.empty()) return "again: " + bad;
  return "";
}

}  // namespace moxal::fuzz

#endif  // MOXAL_TESTS_FUZZ_UPDATE_CHECKS_H_
