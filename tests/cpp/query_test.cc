// Query parsing, the update trace lines, matching, and the result cache,
// table-driven.

#include <string>
#include <vector>

#include "check.h"
#include "db/result_cache.h"
#include "query/filter.h"
#include "query/update.h"
#include "test_util.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

std::string Join(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) out += (i ? "/" : "") + fields[i];
  return out;
}

// Each clause as "path op operand", clauses separated by "; ".
template <class Op>
std::string Describe(const std::vector<Clause<Op>>& clauses) {
  std::string out;
  for (const auto& c : clauses) {
    if (!out.empty()) out += "; ";
    out += Join(c.fields) + " " + DisplayName(c.operator_) + " " + ToJson(c.value.ref());
  }
  return out;
}

std::string g_trace;
void CaptureTrace(std::string_view line) { g_trace += line; }

template <class Op>
std::string Build(const std::string& query, std::string* error = nullptr) {
  Value q = Parse(query);
  std::vector<Clause<Op>> clauses;
  TraceFn trace = OperatorFamily<Op>::kTraced ? CaptureTrace : nullptr;
  Status s = ParseClauses(q.ref().as_object(), trace, &clauses);
  if (!s.ok()) {
    if (error) *error = s.message();
    return "error: " + s.message();
  }
  return Describe(clauses);
}

}  // namespace

TEST(ParseWorkedExamples) {
  struct Case {
    const char* query;
    const char* clauses;
  };
  const Case cases[] = {
      {R"({"age": 30})", "age Equal 30"},
      {R"({"age": {"$eq": 30}})", "age Equal 30"},
      {R"({"age": {"$gt": 30}})", "age GreaterThan 30"},
      {R"({"age": 30.0})", "age Equal 30.0"},
      {R"({"address.city": "Paris"})", "address/city Equal \"Paris\""},
      {R"({"address": {"city": {"$ne": "Paris"}}})", "address/city NotEqual \"Paris\""},
      {R"({"a.b": {"d": {"$lte": 5}}})", "a/b/d LessThanEqual 5"},
      // Every operator of an operator object, in key order, on one path.
      {R"({"age": {"$gt": 30, "$lt": 40}})", "age GreaterThan 30; age LessThan 40"},
      {R"({"n": {"$lt": 9, "$gt": 1}})", "n GreaterThan 1; n LessThan 9"},
      {R"({"a.b": {"c": {"$ne": 6, "$eq": 5}}, "z": 1})",
       "a/b/c Equal 5; a/b/c NotEqual 6; z Equal 1"},
      {R"({"n": {"$gte": 1, "$lte": 2, "$ne": "x", "$lt": 3}})",
       "n GreaterThanEqual 1; n LessThan 3; n LessThanEqual 2; n NotEqual \"x\""},
      {R"({"n": {"$gt": 1, "x": 2}})", "n GreaterThan 1"},  // no keyword: ignored
      {R"({"tags": {"$eq": ["x", "y"]}})", "tags Equal [\"x\",\"y\"]"},
      {R"({"a": {"$eq": {"b": 1}}})", "a Equal {\"b\":1}"},
      {R"({"a": {"$eq": null}})", "a Equal null"},
      {R"({"a": {"b": 1, "c": 2}})", "a/b Equal 1"},
      {R"({"$a": {"b": 1}})", "$a/b Equal 1"},
      {R"({"b": 1, "a": 2})", "a Equal 2; b Equal 1"},
      {R"({"$gt": 5})", " GreaterThan 5"},
      {R"({"a..b": 1})", "a//b Equal 1"},
      {R"({".a": 1, "a.": 2})", "/a Equal 1; a/ Equal 2"},
      {R"({"": 1})", " Equal 1"},
      {R"({"a": {"$gte": "x"}})", "a GreaterThanEqual \"x\""},
      {R"({"a": {"": {"$eq": 1}}})", "a/ Equal 1"},
      {R"({"a": {" x": 1, "$eq": 2}})", "a/ x Equal 1"},
      {"{}", ""},
  };
  for (const Case& c : cases) CHECK_EQ(Build<QueryOperator>(c.query), std::string(c.clauses));
}

TEST(ParseFailures) {
  struct Case {
    const char* query;
    const char* message;
  };
  const Case cases[] = {
      {R"({"age": null})", "Not Valid query"},
      {R"({"tags": ["x"]})", "Not Valid query"},
      {R"({"a": {"b": null}})", "Not Valid query"},
      {R"({"a": {}})", "Error while parsing query"},
      {R"({"a": {"b": {}}})", "Error while parsing query"},
      {R"({"age": {"$in": [1, 2]}})", "Unknown query operator found: $in"},
      {R"({"a": {"$gt.x": 1}})", "Unknown query operator found: $gt.x"},
      {R"({"a": {"$EQ": 1}})", "Unknown query operator found: $EQ"},
      {R"({"a": {"$": 1}})", "Unknown query operator found: $"},
      {R"({"a": {"$set": 1}})", "Unknown query operator found: $set"},
      {R"({"$regex": "x"})", "Unknown query operator found: $regex"},
      {R"({"a": {"$gt": 1, "$in": [1, 2]}})", "Unknown query operator found: $in"},
      {R"({"a": 1, "b": {"$eq": 1, "$gt.x": 1}})", "Unknown query operator found: $gt.x"},
  };
  for (const Case& c : cases) {
    std::string error;
    Build<QueryOperator>(c.query, &error);
    CHECK_EQ(error, std::string(c.message));
  }
}

TEST(UpdateParsingAndTraceLines) {
  struct Case {
    const char* query;
    const char* clauses;
    const char* trace;
  };
  const Case cases[] = {
      {R"({"name": "Bob"})", "name Set \"Bob\"", "Update operator found Set\nFields: [\"name\"]\n"},
      {R"({"count": {"$inc": 5}})", "count Increment 5",
       "Update operator found Increment\nFields: [\"count\"]\n"},
      {R"({"old": {"$delete": null}})", "old Delete null",
       "Update operator found Delete\nFields: [\"old\"]\n"},
      {R"({"$set": {"name": "Bob"}})", "$set/name Set \"Bob\"",
       "Update operator found Set\nFields: [\"$set\", \"name\"]\n"},
      {R"({"$set.x": 1})", "$set/x Set 1",
       "Update operator found Set\nFields: [\"$set\", \"x\"]\n"},
      {R"({"$inc": 1})", " Increment 1", "Update operator found Increment\nFields: []\n"},
      // An update takes the first operator of an operator object only.
      {R"({"n": {"$inc": 1, "$set": 5, "$nope": 0}})", "n Increment 1",
       "Update operator found Increment\nFields: [\"n\"]\n"},
      {R"({"b": {"$dec": 1}, "address.city": {"$substract": 2}})",
       "address/city Substract 2; b Decrement 1",
       "Update operator found Substract\nFields: [\"address\", \"city\"]\n"
       "Update operator found Decrement\nFields: [\"b\"]\n"},
      {R"({"q\"b\\s\tt\r\n\u0000\u0001\u007f\u00e9": {"$add": 1}})", nullptr,
       "Update operator found Add\nFields: [\"q\\\"b\\\\s\\tt\\r\\n\\0\\u{1}\\u{7f}\xc3\xa9\"]\n"},
  };
  for (const Case& c : cases) {
    g_trace.clear();
    std::string got = Build<UpdateOperator>(c.query);
    if (c.clauses) CHECK_EQ(got, std::string(c.clauses));
    CHECK_EQ(g_trace, std::string(c.trace));
  }
  // A failure stops the build; the lines of the clauses before it stay.
  g_trace.clear();
  std::string error;
  Build<UpdateOperator>(R"({"a": 1, "n": {"$subtract": 1}, "z": 2})", &error);
  CHECK_EQ(error, std::string("Unknown update query operator found: $subtract"));
  CHECK_EQ(g_trace, std::string("Update operator found Set\nFields: [\"a\"]\n"));
}

TEST(MatchTable) {
  struct Case {
    const char* query;
    const char* doc;
    const char* expect;  // "yes", "no", or the error message
  };
  const Case cases[] = {
      {"{}", "{}", "yes"},
      {"{}", R"({"a": 1})", "yes"},
      {R"({"x": {"$ne": 1}})", "{}", "no"},
      {R"({"x": {"$eq": null}})", "{}", "no"},
      {R"({"x": {"$eq": null}})", R"({"x": null})", "yes"},
      {R"({"a": 1})", R"({"a": 1.0})", "no"},
      {R"({"a": {"$ne": 1}})", R"({"a": 1.0})", "yes"},
      {R"({"a": {"$gte": 1}})", R"({"a": 1.0})", "yes"},
      {R"({"a": {"$lte": 1}})", R"({"a": 1.0})", "yes"},
      // Numbers are ordered by their exact values, integers beyond 2^53
      // against integers and doubles too.
      {R"({"a": {"$gt": 9007199254740992}})", R"({"a": 9007199254740993})", "yes"},
      {R"({"a": {"$gt": 9007199254740992.0}})", R"({"a": 9007199254740993})", "yes"},
      {R"({"a": {"$lt": 9007199254740993}})", R"({"a": 9007199254740992.0})", "yes"},
      {R"({"a": {"$gte": 9007199254740993}})", R"({"a": 9007199254740994.0})", "yes"},
      {R"({"a": {"$lt": 9007199254740993}})", R"({"a": 9007199254740994.0})", "no"},
      {R"({"a": {"$lte": 9223372036854775807}})", R"({"a": 9223372036854775808})", "no"},
      {R"({"a": {"$lt": 9223372036854775808.0}})", R"({"a": 9223372036854775807})", "yes"},
      {R"({"a": {"$gte": 9223372036854775808.0}})", R"({"a": 9223372036854775808})", "yes"},
      {R"({"a": {"$lt": -9223372036854775807}})", R"({"a": -9223372036854775808})", "yes"},
      {R"({"a": {"$gt": -9223372036854775808.0}})", R"({"a": -9223372036854775807})", "yes"},
      {R"({"a": {"$gt": -9223372036854775808.0}})", R"({"a": -9223372036854775808})", "no"},
      {R"({"a": {"$lt": 1.8446744073709552e19}})", R"({"a": 18446744073709551615})", "yes"},
      {R"({"a": {"$gt": -1e300}})", R"({"a": -9223372036854775808})", "yes"},
      {R"({"a": {"$lt": 1e300}})", R"({"a": 18446744073709551615})", "yes"},
      {R"({"a": {"$gt": 0.5}})", R"({"a": 0})", "no"},
      {R"({"a": {"$lt": -0.5}})", R"({"a": -1})", "yes"},
      {R"({"a": {"$gte": -0.0}})", R"({"a": 0})", "yes"},
      {R"({"a": {"$lt": 0}})", R"({"a": -0.0})", "no"},
      {R"({"a": {"$lte": -1}})", R"({"a": -0.5})", "no"},
      // Every operator of a clause holds, in key order.
      {R"({"a": {"$gte": 30, "$lt": 40}})", R"({"a": 30})", "yes"},
      {R"({"a": {"$gte": 30, "$lt": 40}})", R"({"a": 40})", "no"},
      {R"({"a": {"$gte": 30, "$lt": 40}})", R"({"a": 50})", "no"},
      {R"({"a": {"$gt": 9, "$lt": 1}})", R"({"a": 5})", "no"},
      {R"({"a": {"$eq": 5, "$ne": 6}})", R"({"a": 5})", "yes"},
      {R"({"a": {"$eq": 5, "$ne": 5.0}})", R"({"a": 5})", "yes"},
      {R"({"a": {"$eq": 5, "$ne": 5}})", R"({"a": 5})", "no"},
      {R"({"a": {"$gt": 1, "$lt": "x"}})", R"({"a": 0})", "no"},
      {R"({"a": {"$gt": 1, "$lt": "x"}})", R"({"a": 5})",
       "Malformed query, non-numeric value found for operator LessThan"},
      {R"({"a": {"$eq": "s", "$lt": 1}})", R"({"a": "s"})",
       "Malformed query, non-numeric value found for operator LessThan"},
      {R"({"a": {"$eq": "s", "$lt": 1}})", R"({"a": "t"})", "no"},
      {R"({"a": 9007199254740993})", R"({"a": 9007199254740993})", "yes"},
      {R"({"a": 9007199254740992})", R"({"a": 9007199254740993})", "no"},
      {R"({"a": {"$lt": 0}})", R"({"a": -9223372036854775808})", "yes"},
      {R"({"a": {"$gt": -1}})", R"({"a": 18446744073709551615})", "yes"},
      {R"({"a": -0.0})", R"({"a": 0.0})", "yes"},
      {R"({"tags": "x"})", R"({"tags": ["x", "y"]})", "no"},
      {R"({"tags": {"$eq": ["x", "y"]}})", R"({"tags": ["x", "y"]})", "yes"},
      {R"({"tags": {"$eq": ["y", "x"]}})", R"({"tags": ["x", "y"]})", "no"},
      {R"({"a": {"$eq": {"b": 1}}})", R"({"a": {"b": 1}})", "yes"},
      {R"({"a": {"$eq": {"b": 1}}})", R"({"a": {"b": 1, "c": 2}})", "no"},
      {R"({"a": {"b": 1}})", R"({"a": {"b": 1, "c": 2}})", "yes"},
      {R"({"a.b": 1})", R"({"a": [{"b": 1}]})", "no"},
      {R"({"a.b": 1})", R"({"a": 5})", "no"},
      {R"({"a.0": 1})", R"({"a": [1]})", "no"},
      {R"({"address.city": "Paris"})", R"({"address": {"city": "Paris", "zip": "75"}})", "yes"},
      {R"({"address.city": "Paris"})", R"({"address": {"city": "paris"}})", "no"},
      {R"({"a..b": 1})", R"({"a": {"": {"b": 1}}})", "yes"},
      {R"({"": 1})", R"({"": 1})", "yes"},
      {R"({"a": true})", R"({"a": 1})", "no"},
      {R"({"a": {"$gt": "m"}})", R"({"a": "z"})",
       "Malformed query, non-numeric value found for operator GreaterThan"},
      {R"({"a": {"$gt": "m"}})", R"({"a": 5})",
       "Malformed query, non-numeric value found for operator GreaterThan"},
      {R"({"a": {"$gt": "m"}})", R"({"b": 5})", "no"},
      {R"({"a": {"$lt": 5}})", R"({"a": "s"})",
       "Malformed query, non-numeric value found for operator LessThan"},
      {R"({"a": {"$lt": 5}})", R"({"a": true})",
       "Malformed query, non-numeric value found for operator LessThan"},
      {R"({"a": {"$lte": 5}})", R"({"a": null})",
       "Malformed query, non-numeric value found for operator LessThanEqual"},
      {R"({"a": {"$gte": 5}})", R"({"a": [1]})",
       "Malformed query, non-numeric value found for operator GreaterThanEqual"},
      {R"({"a": {"$lt": 5}})", R"({"a": {}})",
       "Malformed query, non-numeric value found for operator LessThan"},
      // Clauses run in key order and stop at the first that does not hold.
      {R"({"a": 1, "b": {"$gt": "x"}})", R"({"a": 2, "b": 1})", "no"},
      {R"({"a": 1, "b": {"$gt": "x"}})", R"({"a": 1, "b": 1})",
       "Malformed query, non-numeric value found for operator GreaterThan"},
      {R"({"b": {"$gt": "x"}, "a": 1})", R"({"a": 2, "b": 1})", "no"},
      {R"({"age": {"$gt": 30}, "name": "Bo"})", R"({"age": 31, "name": "Bo"})", "yes"},
      {R"({"age": {"$gt": 30}, "name": "Bo"})", R"({"age": 30, "name": "Bo"})", "no"},
      {R"({"$gt": 5})", R"({"a": 1})",
       "a clause has an empty field path: its query key is only an operator"},
  };
  for (const Case& c : cases) {
    Value q = Parse(c.query);
    Value d = Parse(c.doc);
    Filter engine;
    CHECK(Filter::New(q.ref().as_object(), &engine).ok());
    bool matched = false;
    Status s = engine.Matches(d.ref().as_object(), &matched);
    std::string got = s.ok() ? (matched ? "yes" : "no") : s.message();
    if (got != c.expect) std::cerr << "  query " << c.query << " doc " << c.doc << "\n";
    CHECK_EQ(got, std::string(c.expect));
  }
}

TEST(ResultCacheRecencyAndEviction) {
  ResultCache cache;
  Value q = Parse(R"({"q": 1})");
  auto result = [](int n) {
    auto r = std::make_shared<ResultList>();
    r->docs.push_back(Parse(std::to_string(n)));
    return ResultPtr(r);
  };
  for (int i = 0; i < 100; ++i) cache.Insert(i, "c", 7, q, "", result(i));
  CHECK_EQ(cache.size(), size_t{100});
  // A hit on the oldest protects it from the next eviction.
  CHECK(cache.Lookup(0, "c", 7, q.ref()) != nullptr);
  cache.Insert(100, "c", 7, q, "", result(100));
  CHECK_EQ(cache.size(), size_t{100});
  CHECK(cache.Lookup(0, "c", 7, q.ref()) != nullptr);
  CHECK(cache.Lookup(1, "c", 7, q.ref()) == nullptr);  // evicted instead
  CHECK(cache.Lookup(2, "c", 7, q.ref()) != nullptr);
  // Keys are per collection.
  CHECK(cache.Lookup(2, "other", 7, q.ref()) == nullptr);
  // A changed collection (new stamp) or a different query is a miss.
  CHECK(cache.Lookup(2, "c", 8, q.ref()) == nullptr);
  Value q2 = Parse(R"({"q": 1.0})");
  CHECK(cache.Lookup(2, "c", 7, q2.ref()) == nullptr);
  // ...and the insert that follows replaces the entry in place.
  cache.Insert(2, "c", 8, q2, "", result(42));
  CHECK_EQ(cache.size(), size_t{100});
  ResultPtr r = cache.Lookup(2, "c", 8, q2.ref());
  CHECK(r != nullptr && ToJson(r->docs[0].ref()) == "42");
  CHECK(cache.Lookup(2, "c", 7, q.ref()) == nullptr);
  // A page of the result is another result.
  CHECK(cache.Lookup(2, "c", 8, q2.ref(), "page") == nullptr);
  cache.Insert(2, "c", 8, q2, "page", result(43));
  CHECK(cache.Lookup(2, "c", 8, q2.ref()) == nullptr);
  ResultPtr page = cache.Lookup(2, "c", 8, q2.ref(), "page");
  CHECK(page != nullptr && ToJson(page->docs[0].ref()) == "43");
  // A result stays valid for whoever holds it after eviction and reset.
  cache.Reset();
  CHECK_EQ(cache.size(), size_t{0});
  CHECK(r != nullptr && ToJson(r->docs[0].ref()) == "42");
}
