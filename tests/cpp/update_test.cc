// Update application: the documented table of documents, update queries
// and results, which pins down both the engine and the fuzz harness's model
// of it; copy-on-write when a document is shared; and random chains of
// updates put through the fuzz harness's checks.

#include <random>
#include <string>

#include "../fuzz/update_checks.h"
#include "check.h"
#include "query/update.h"
#include "test_util.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::fuzz::NoTrace;
using moxal::testing::Parse;

namespace {

Update Engine(const Value& update) {
  Update engine;
  Status s = Update::New(update.ref().as_object(), &engine, NoTrace);
  if (!s.ok()) std::cerr << "  update refused: " << s.message() << "\n";
  CHECK(s.ok());
  return engine;
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
      {R"({"a":{"b":1,"c":2}})", R"({"a.b":{"$inc":0}})", R"({"a":{"b":2.0,"c":2}})"},
      {R"({"b":1,"c":1})", R"({"b":{"$add":"1"},"c":{"$dec":"x"}})", R"({"b":1,"c":0.0})"},
      {R"({"x":[1]})", R"({"x.y":5})", R"({"x":[1]})"},
      // A later clause goes into what an earlier one set, of the same
      // length as before (a 22-byte string and a one-member object both
      // take 24 bytes): planned patches must see it.
      {R"({"a":"aaaaaaaaaaaaaaaaaaaaaa"})", R"({"a":{"$set":{"b":1}},"a.b":{"$inc":1}})",
       R"({"a":{"b":2.0}})"},
      {R"({"a":{"b":1},"c":2})", R"({"a":{"$set":{"b":7}},"a.b":{"$dec":1}})",
       R"({"a":{"b":6.0},"c":2})"},
      {R"({"a":{"b":1}})", R"({"a":"aaaaaaaaaaaaaaaaaaaaaa","a.b":{"$inc":1}})",
       R"({"a":"aaaaaaaaaaaaaaaaaaaaaa"})"},
      {R"({"a":{"b":1,"c":2}})", R"({"a":{"c":{"$add":1}},"a.c":{"$inc":1},"a.b":{"$inc":1}})",
       R"({"a":{"b":2.0,"c":4.0}})"},
  };
  for (const Case& c : cases) {
    Value doc = Parse(c.doc);
    Update engine = Engine(Parse(c.update));
    // The harness's model agrees with the documented result...
    CHECK_EQ(ToJson(fuzz::ModelApply(doc, engine.clauses()).ref()), std::string(c.after));
    // ...and so does the engine, on a private and on a shared copy, with
    // well-formed blobs whose text reads back.
    Value after;
    std::string failure = fuzz::CheckApply(engine, doc, &after);
    CHECK_EQ(failure, std::string());
    if (!after.empty()) CHECK_EQ(ToJson(after.ref()), std::string(c.after));
    if (ToJson(after.ref()) != c.after)
      std::cerr << "  doc " << c.doc << " update " << c.update << "\n";
  }
  // A clause without a path stops the update; those before it stay applied.
  Value doc = Parse(R"({"":1,"b":1})");
  Status s = Engine(Parse(R"({"":{"$inc":1},"$inc":1})")).Apply(&doc);
  CHECK_EQ(s.message(),
           std::string("a clause has an empty field path: its query key is only an operator"));
  CHECK_EQ(ToJson(doc.ref()), std::string(R"({"":2.0,"b":1})"));
}

TEST(AnUnsharedDocumentChangesInPlace) {
  // Nobody else holds the blob and the new bytes are as long as the old:
  // no copy is made. (CheckApply above makes sure a shared one is copied.)
  Value alone = Parse(R"({"n":1})");
  const uint8_t* before = alone.data();
  CHECK(Engine(Parse(R"({"n":{"$inc":1}})")).Apply(&alone).ok());
  CHECK(alone.data() == before);
  CHECK_EQ(ToJson(alone.ref()), std::string(R"({"n":2.0})"));
}

TEST(RandomUpdateChainsPassTheFuzzChecks) {
  // Chains of four updates on random nested documents, each update checked
  // as the fuzz harness checks it: on a private and a shared copy, against
  // the model, for well-formed blobs and text that reads back.
  std::mt19937_64 rng(2024);
  const char* keys[] = {"a", "b", "c", "long key name", ""};
  const char* values[] = {"1",
                          "\"s\"",
                          "null",
                          "[1,2,3]",
                          "{\"a\":1,\"b\":{\"c\":2}}",
                          "\"a rather longer string value\"",
                          "{}",
                          "2.5",
                          "-7"};
  const char* keywords[] = {"$set", "$delete", "$add", "$substract", "$inc", "$dec"};
  auto random_value = [&](int depth, auto& self) -> std::string {
    if (depth > 3 || rng() % 3 == 0) return values[rng() % std::size(values)];
    std::string out = "{";
    int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      out += std::string(i ? "," : "") + "\"" + keys[rng() % std::size(keys)] +
             "\":" + self(depth + 1, self);
    }
    return out + "}";
  };
  int checked = 0;
  for (int round = 0; round < 3000; ++round) {
    Value doc = Parse("{\"a\":" + random_value(1, random_value) +
                      ",\"b\":" + random_value(1, random_value) +
                      ",\"c\":" + random_value(1, random_value) + "}");
    for (int step = 0; step < 4; ++step) {
      std::string path;
      int len = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < len; ++i) path += std::string(i ? "." : "") + keys[rng() % 3];
      std::string update = "{\"" + path + "\":{\"" + keywords[rng() % std::size(keywords)] +
                           "\":" + values[rng() % std::size(values)] + "}}";
      Value after;
      std::string failure = fuzz::CheckApply(Engine(Parse(update)), doc, &after);
      if (!failure.empty()) {
        std::cerr << "  " << update << " on " << ToJson(doc.ref()) << ": " << failure << "\n";
        CHECK_EQ(failure, std::string());
        return;
      }
      doc = after;
      ++checked;
    }
  }
  CHECK_EQ(checked, 12000);
}
