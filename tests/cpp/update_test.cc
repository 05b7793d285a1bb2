// Update application: the table of documents, update queries and results,
// copy-on-write when a document is shared, and a randomised comparison of
// the in-blob edits with a plain tree model.

#include <map>
#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "check.h"
#include "test_util.h"
#include "query/query.h"
#include "values/builder.h"
#include "values/equality.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {


void NoTrace(std::string_view) {}

std::string Apply(const std::string& doc_text, const std::string& update_text,
                  std::string* error = nullptr) {
  Value doc = Parse(doc_text);
  Value q = Parse(update_text);
  QueryEngine<UpdateOperator> engine;
  Status s = QueryEngine<UpdateOperator>::New(q.ref().as_object(), &engine, NoTrace);
  if (s.ok()) s = engine.execute(&doc);
  if (!s.ok()) {
    if (error) *error = s.message();
    return "error";
  }
  return ToJson(doc.ref());
}

}  // namespace

TEST(UpdateTable) {
  struct Case {
    const char* doc;
    const char* update;
    const char* after;
  };
  const Case cases[] = {
      {R"({"n":1})", R"({"n":{"$inc":1}})", R"({"n":2.0})"},
      {R"({"n":1})", R"({"n":{"$inc":10}})", R"({"n":2.0})"},
      {R"({"n":-5})", R"({"n":{"$dec":null}})", R"({"n":-6.0})"},
      {R"({"n":1})", R"({"n":{"$add":2}})", R"({"n":3.0})"},
      {R"({"n":1})", R"({"n":{"$substract":0.5}})", R"({"n":0.5})"},
      {R"({"n":1})", R"({"n":{"$add":"2"}})", R"({"n":1})"},
      {R"({"s":"x"})", R"({"s":{"$inc":1}})", R"({"s":"x"})"},
      {R"({"a":1})", R"({"m":{"$set":5}})", R"({"a":1})"},
      {R"({"a":1})", R"({"m":5})", R"({"a":1})"},
      {R"({"a":{"b":1}})", R"({"a.b":7})", R"({"a":{"b":7}})"},
      {R"({"a":{}})", R"({"a.b":7})", R"({"a":{}})"},
      {R"({"a":[1]})", R"({"a.0":7})", R"({"a":[1]})"},
      {R"({"a":1})", R"({"a":{"$set":{"x":[1,null]}}})", R"({"a":{"x":[1,null]}})"},
      {R"({"a":1,"old":2})", R"({"old":{"$delete":0}})", R"({"a":1})"},
      {R"({"a":{"b":1,"c":2}})", R"({"a.b":{"$delete":null}})", R"({"a":{"c":2}})"},
      {R"({"a":1})", R"({"zz":{"$delete":null}})", R"({"a":1})"},
      {R"({"big":1e308})", R"({"big":{"$add":1e308}})", R"({"big":null})"},
      {R"({"big":-1e308})", R"({"big":{"$substract":1e308}})", R"({"big":null})"},
      {R"({"a":{"b":1}})", R"({"a":{"b":{"$inc":1}},"a.b":5})", R"({"a":{"b":5}})"},
      {R"({"n":9007199254740993})", R"({"n":{"$inc":1}})", R"({"n":9007199254740992.0})"},
      {R"({"n":18446744073709551615})", R"({"n":{"$dec":1}})", R"({"n":1.8446744073709552e19})"},
      {R"({"n":-9223372036854775808})", R"({"n":{"$add":0}})", R"({"n":-9.223372036854776e18})"},
      {R"({"n":true})", R"({"n":{"$inc":1}})", R"({"n":true})"},
      {R"({"n":null})", R"({"n":{"$dec":1}})", R"({"n":null})"},
      {R"({"n":[1]})", R"({"n":{"$add":1}})", R"({"n":[1]})"},
      {R"({"n":2})", R"({"n":{"$add":-0.5}})", R"({"n":1.5})"},
      // Set replaces whatever is there, with a value of any size.
      {R"({"a":"short","b":2})", R"({"a":"a much longer string than before"})",
       R"({"a":"a much longer string than before","b":2})"},
      {R"({"a":{"deep":{"x":"y"}},"b":2})", R"({"a":{"$set":null}})", R"({"a":null,"b":2})"},
      {R"({"a":{"b":{"c":1},"d":[1,2]},"e":"z"})", R"({"a.b.c":{"$set":"longer value"}})",
       R"({"a":{"b":{"c":"longer value"},"d":[1,2]},"e":"z"})"},
      {R"({"a":{"b":{"c":1,"c2":2},"d":3},"e":4})", R"({"a.b.c":{"$delete":1}})",
       R"({"a":{"b":{"c2":2},"d":3},"e":4})"},
      {R"({"a":1,"b":2,"c":3})", R"({"a":{"$delete":1},"c":{"$delete":1},"b":{"$inc":1}})",
       R"({"b":3.0})"},
      {R"({"a":1})", R"({"a":{"$delete":1}})", R"({})"},
      {R"({"$set":{"name":"Al"}})", R"({"$set":{"name":"Bob"}})", R"({"$set":{"name":"Bob"}})"},
      {R"({"a..b":1,"a":{"":{"b":2}}})", R"({"a..b":9})", R"({"a":{"":{"b":9}},"a..b":1})"},
  };
  for (const Case& c : cases) {
    std::string got = Apply(c.doc, c.update);
    if (got != c.after) std::cerr << "  doc " << c.doc << " update " << c.update << "\n";
    CHECK_EQ(got, std::string(c.after));
    // The result is a well-formed value: it reads back from its own text.
    Value back;
    CHECK(ParseJson(got, &back));
  }
  std::string error;
  CHECK_EQ(Apply(R"({"a":1})", R"({"$inc":1})", &error), std::string("error"));
  CHECK_EQ(error, std::string("a clause has an empty field path: its query key is only an operator"));
}

TEST(SharedDocumentsAreCopiedOnWrite) {
  Value doc = Parse(R"({"n":1,"s":"x"})");
  Value other = doc;  // shared, as between a collection and a cached result
  Value q = Parse(R"({"n":{"$inc":1},"s":"changed"})");
  QueryEngine<UpdateOperator> engine;
  CHECK(QueryEngine<UpdateOperator>::New(q.ref().as_object(), &engine, NoTrace).ok());
  CHECK(engine.execute(&doc).ok());
  CHECK_EQ(ToJson(doc.ref()), std::string(R"({"n":2.0,"s":"changed"})"));
  CHECK_EQ(ToJson(other.ref()), std::string(R"({"n":1,"s":"x"})"));
  CHECK(!doc.same_blob(other));
  // A document nobody shares is changed in place when the size allows.
  Value alone = Parse(R"({"n":1})");
  const uint8_t* before = alone.data();
  Value inc = Parse(R"({"n":{"$inc":1}})");
  CHECK(QueryEngine<UpdateOperator>::New(inc.ref().as_object(), &engine, NoTrace).ok());
  CHECK(engine.execute(&alone).ok());
  CHECK(alone.data() == before);
  CHECK_EQ(ToJson(alone.ref()), std::string(R"({"n":2.0})"));
}

// --- A plain tree model to compare random edits against ------------------

namespace {

struct Node;
using Object = std::map<std::string, std::shared_ptr<Node>>;
struct Node {
  std::variant<std::string /*scalar JSON text*/, std::vector<std::shared_ptr<Node>>, Object> v;
};

std::shared_ptr<Node> FromValue(ValueRef v) {
  auto n = std::make_shared<Node>();
  if (v.is_object()) {
    Object o;
    for (Member m : v.as_object()) o[std::string(m.key)] = FromValue(m.value);
    n->v = std::move(o);
  } else if (v.is_array()) {
    std::vector<std::shared_ptr<Node>> a;
    for (ValueRef e : v.as_array()) a.push_back(FromValue(e));
    n->v = std::move(a);
  } else {
    n->v = ToJson(v);
  }
  return n;
}

std::string ToText(const Node& n) {
  if (auto* s = std::get_if<std::string>(&n.v)) return *s;
  if (auto* a = std::get_if<std::vector<std::shared_ptr<Node>>>(&n.v)) {
    std::string out = "[";
    for (size_t i = 0; i < a->size(); ++i) out += (i ? "," : "") + ToText(*(*a)[i]);
    return out + "]";
  }
  const Object& o = std::get<Object>(n.v);
  std::string out = "{";
  bool first = true;
  for (const auto& [k, v] : o) {  // std::map orders keys bytewise, like moxal
    Value key;
    Builder b;
    b.String(k);
    key = b.Finish();
    out += (first ? "" : ",") + ToJson(key.ref()) + ":" + ToText(*v);
    first = false;
  }
  return out + "}";
}

// Sets or deletes along `path` in the model, following the same rules.
void ModelApply(Node& root, const std::vector<std::string>& path, bool del,
                const std::shared_ptr<Node>& value) {
  Node* at = &root;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    Object& o = std::get<Object>(at->v);
    auto it = o.find(path[i]);
    if (it == o.end() || !std::holds_alternative<Object>(it->second->v)) return;
    at = it->second.get();
  }
  Object& o = std::get<Object>(at->v);
  auto it = o.find(path.back());
  if (it == o.end()) return;
  if (del) {
    o.erase(it);
  } else {
    it->second = value;
  }
}

}  // namespace

TEST(RandomEditsMatchATreeModel) {
  std::mt19937_64 rng(2024);
  const char* keys[] = {"a", "b", "c", "long key name", ""};
  const char* values[] = {"1", "\"s\"", "null", "[1,2,3]", "{\"a\":1,\"b\":{\"c\":2}}",
                          "\"a rather longer string value\"", "{}", "2.5"};
  auto random_value = [&](int depth, auto& self) -> std::string {
    if (depth > 3 || rng() % 3 == 0) return values[rng() % std::size(values)];
    std::string out = "{";
    int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      out += std::string(i ? "," : "") + "\"" + keys[rng() % std::size(keys)] + "\":" +
             self(depth + 1, self);
    }
    return out + "}";
  };
  int checked = 0;
  for (int round = 0; round < 3000; ++round) {
    Value doc = Parse("{\"a\":" + random_value(1, random_value) + ",\"b\":" +
                      random_value(1, random_value) + ",\"c\":" +
                      random_value(1, random_value) + "}");
    // Half the time the document is shared, and the sharer must not see
    // the edits.
    Value shared = doc;
    if (rng() % 2) shared = Value();
    std::string shared_text = shared.empty() ? "" : ToJson(shared.ref());
    auto model = FromValue(doc.ref());
    for (int step = 0; step < 4; ++step) {
      std::vector<std::string> path;
      int len = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < len; ++i) path.push_back(keys[rng() % 3]);
      std::string joined;
      for (size_t i = 0; i < path.size(); ++i) joined += (i ? "." : "") + path[i];
      bool del = rng() % 3 == 0;
      std::string operand = values[rng() % std::size(values)];
      std::string update = "{\"" + joined + "\":" +
                           (del ? std::string("{\"$delete\":null}") : "{\"$set\":" + operand + "}") +
                           "}";
      Value q = Parse(update);
      QueryEngine<UpdateOperator> engine;
      CHECK(QueryEngine<UpdateOperator>::New(q.ref().as_object(), &engine, NoTrace).ok());
      CHECK(engine.execute(&doc).ok());
      ModelApply(*model, path, del, FromValue(Parse(operand).ref()));
      std::string got = ToJson(doc.ref());
      std::string want = ToText(*model);
      if (got != want) {
        std::cerr << "  after " << update << ": got " << got << " want " << want << "\n";
        CHECK_EQ(got, want);
        return;
      }
      // Every lookup in the edited blob still works.
      Value back;
      CHECK(ParseJson(got, &back) && Equal(back.ref(), doc.ref()));
      ++checked;
    }
    if (!shared.empty()) CHECK_EQ(ToJson(shared.ref()), shared_text);
  }
  CHECK(checked > 10000);
}
