// Indexes answer exactly what a scan answers: random collections, changed
// at random (appends, replaced documents), asked random queries over a few
// paths and values chosen to meet every corner of equality and order
// (number kinds, -0.0, integers beyond 2^53, values that are not numbers,
// missing and nested fields), each answer compared with a scan's:
// positions, error kind and message.

#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "db/index_set.h"
#include "db/select.h"
#include "test_util.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

const char* const kValues[] = {"0",
                               "1",
                               "1.0",
                               "-0.0",
                               "0.0",
                               "2",
                               "-3",
                               "2.5",
                               "9007199254740993",
                               "9007199254740992.0",
                               "true",
                               "false",
                               "null",
                               "\"x\"",
                               "\"y\"",
                               "\"\"",
                               "[1]",
                               "{\"c\":1}",
                               "7",
                               "8",
                               "9",
                               "-1e300",
                               "1e300",
                               "9223372036854775807",
                               "18446744073709551615"};
// Beyond 2^53 integers share keys with their neighbours in an order index.
const char* const kNumbers[] = {"0",
                                "1",
                                "1.0",
                                "-0.0",
                                "2.5",
                                "-3",
                                "7",
                                "100",
                                "9007199254740993",
                                "9007199254740992.0",
                                "-1e300",
                                "9007199254740992",
                                "9007199254740994",
                                "9223372036854775807",
                                "9223372036854775808",
                                "9223372036854775808.0",
                                "-9223372036854775808",
                                "-9223372036854775807",
                                "18446744073709551615",
                                "18446744073709551616.0"};
const char* const kPaths[] = {"a", "b", "t", "n.c", "n"};
const char* const kOperators[] = {"", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte"};

class Random {
 public:
  explicit Random(uint64_t seed) : rng_(seed) {}
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool OneIn(size_t n) { return Below(n) == 0; }
  template <size_t N>
  const char* Pick(const char* const (&a)[N]) {
    return a[Below(N)];
  }

 private:
  std::mt19937_64 rng_;
};

// A document: "t" holds numbers only unless `mixed`, the others anything.
Value RandomDocument(Random& r, bool mixed) {
  std::string text = "{";
  auto member = [&](const char* key, const std::string& value) {
    if (text.size() > 1) text += ",";
    text += std::string("\"") + key + "\":" + value;
  };
  if (!r.OneIn(5)) member("a", r.Pick(kValues));
  if (!r.OneIn(3)) member("b", r.Pick(kValues));
  if (!r.OneIn(6)) member("t", mixed && r.OneIn(50) ? r.Pick(kValues) : r.Pick(kNumbers));
  if (r.OneIn(2))
    member("n", r.OneIn(4) ? r.Pick(kValues) : std::string("{\"c\":") + r.Pick(kValues) + "}");
  return Parse(text + "}");
}

Value RandomQuery(Random& r) {
  std::string text = "{";
  size_t clauses = 1 + r.Below(3);
  bool used[std::size(kPaths)] = {};
  for (size_t i = 0; i < clauses; ++i) {
    size_t p = r.Below(std::size(kPaths));
    if (used[p] || (p >= 3 && (used[3] || used[4]))) continue;  // "n" and "n.c" meet
    used[p] = true;
    const char* op = r.Pick(kOperators);
    bool ordering = op[0] == '$' && op[1] != 'e' && op[1] != 'n';
    std::string operand = ordering && !r.OneIn(10) ? r.Pick(kNumbers) : r.Pick(kValues);
    // Written bare, null, a list or a dict would not be an operand.
    char first = operand[0];
    if (op[0] == '\0' && (first == 'n' || first == '[' || first == '{')) op = "$eq";
    if (text.size() > 1) text += ",";
    text += std::string("\"") + kPaths[p] + "\":";
    if (op[0] == '\0') {
      text += operand;
      continue;
    }
    text += std::string("{\"") + op + "\":" + operand;
    // Now and then more operators on the path: a window's other bound,
    // $ne, or anything (a keyword met twice keeps one of its operands).
    for (size_t more = r.OneIn(3) ? 1 + r.Below(2) : 0; more > 0; --more) {
      const char* also = r.Pick(kOperators);
      if (also[0] == '\0') continue;
      text += std::string(",\"") + also + "\":" + (r.OneIn(8) ? r.Pick(kValues) : r.Pick(kNumbers));
    }
    text += "}";
  }
  return Parse(text + "}");
}

struct Answer {
  std::vector<size_t> positions;
  ErrorKind kind;
  std::string message;
  bool operator==(const Answer& o) const {
    return positions == o.positions && kind == o.kind && message == o.message;
  }
};

Answer Ask(const std::vector<Value>& docs, const Filter& filter, IndexSet* indexes) {
  Answer a;
  Status s = SelectDocuments(docs, indexes, &filter, &a.positions);
  a.kind = s.kind();
  a.message = s.message();
  if (!s.ok()) a.positions.clear();
  return a;
}

// One random life of a collection; returns how many answers came through
// an index (the set had one).
size_t RunCollection(uint64_t seed) {
  Random r(seed);
  bool mixed = r.OneIn(3);
  std::vector<Value> docs;
  size_t n = IndexSet::kMinDocuments + r.Below(400);
  for (size_t i = 0; i < n; ++i) docs.push_back(RandomDocument(r, mixed));
  IndexSet indexes;
  size_t indexed = 0;
  for (int step = 0; step < 400; ++step) {
    size_t what = r.Below(20);
    if (what == 0) {
      size_t k = 1 + r.Below(r.OneIn(4) ? 600 : 5);
      for (size_t i = 0; i < k; ++i) docs.push_back(RandomDocument(r, mixed));
    } else if (what <= 3) {
      size_t k = 1 + r.Below(r.OneIn(5) ? 300 : 3);
      for (size_t i = 0; i < k; ++i) {
        size_t at = r.Below(docs.size());
        IndexSet::Keys before;
        indexes.KeysOf(docs[at].ref(), ~IndexSet::Mask{0}, &before);
        docs[at] = RandomDocument(r, mixed);
        indexes.Rekey(at, before, docs[at].ref(), ~IndexSet::Mask{0});
      }
    } else if (what == 4 && r.OneIn(10)) {
      indexes.Clear();
    } else {
      Value query = RandomQuery(r);
      Filter filter;
      CHECK(Filter::New(query.ref().as_object(), &filter).ok());
      Answer scanned = Ask(docs, filter, nullptr);
      Answer answered = Ask(docs, filter, &indexes);
      CHECK(answered == scanned);
      if (!(answered == scanned)) return indexed;
      if (indexes.index_count() != 0) ++indexed;
    }
  }
  return indexed;
}

}  // namespace

TEST(IndexesAnswerWhatAScanAnswers) {
  size_t indexed = 0;
  for (uint64_t seed = 1; seed <= 60; ++seed) indexed += RunCollection(seed);
  CHECK(indexed > 5000);  // the comparison really went through indexes
}

TEST(IndexesFollowTheirDocumentsThroughMerges) {
  // Many replacements of one field push the tail through several merges.
  std::vector<Value> docs;
  for (int i = 0; i < 2000; ++i) docs.push_back(Parse("{\"k\":" + std::to_string(i % 50) + "}"));
  IndexSet indexes;
  Value query = Parse("{\"k\":7}");
  Filter filter;
  CHECK(Filter::New(query.ref().as_object(), &filter).ok());
  Random r(7);
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 100; ++i) {
      size_t at = r.Below(docs.size());
      IndexSet::Keys before;
      indexes.KeysOf(docs[at].ref(), ~IndexSet::Mask{0}, &before);
      docs[at] = Parse("{\"k\":" + std::to_string(r.Below(50)) + "}");
      indexes.Rekey(at, before, docs[at].ref(), ~IndexSet::Mask{0});
    }
    CHECK(Ask(docs, filter, &indexes) == Ask(docs, filter, nullptr));
  }
  CHECK_EQ(indexes.index_count(), size_t{1});
}

TEST(NoIndexForSmallCollectionsOrWhenSwitchedOff) {
  std::vector<Value> docs;
  for (size_t i = 0; i < IndexSet::kMinDocuments - 1; ++i) docs.push_back(Parse("{\"k\":1}"));
  Value query = Parse("{\"k\":1}");
  Filter filter;
  CHECK(Filter::New(query.ref().as_object(), &filter).ok());
  IndexSet indexes;
  for (int i = 0; i < 3; ++i) CHECK(Ask(docs, filter, &indexes) == Ask(docs, filter, nullptr));
  CHECK_EQ(indexes.index_count(), size_t{0});
  docs.push_back(Parse("{\"k\":2}"));
  IndexSet::EnableForTesting(false);
  for (int i = 0; i < 3; ++i) CHECK(Ask(docs, filter, &indexes) == Ask(docs, filter, nullptr));
  CHECK_EQ(indexes.index_count(), size_t{0});
  IndexSet::EnableForTesting(true);
  for (int i = 0; i < 3; ++i) CHECK(Ask(docs, filter, &indexes) == Ask(docs, filter, nullptr));
  CHECK_EQ(indexes.index_count(), size_t{1});
}

TEST(IndexesFollowRemovedDocuments) {
  // Documents leave from anywhere (a few at a time, so the indexes are
  // renumbered, not dropped); every answer stays a scan's.
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    Random r(seed);
    bool mixed = r.OneIn(3);
    std::vector<Value> docs;
    for (size_t i = 0; i < IndexSet::kMinDocuments * 3; ++i)
      docs.push_back(RandomDocument(r, mixed));
    IndexSet indexes;
    for (int step = 0; step < 200; ++step) {
      if (r.OneIn(3)) {
        std::vector<size_t> removed;
        for (size_t i = 0; i < docs.size(); ++i) {
          if (r.OneIn(40)) removed.push_back(i);
        }
        indexes.Remove(docs, removed);
        std::vector<Value> kept;
        for (size_t i = 0, k = 0; i < docs.size(); ++i) {
          if (k < removed.size() && removed[k] == i) {
            ++k;
          } else {
            kept.push_back(docs[i]);
          }
        }
        docs.swap(kept);
        if (docs.size() < IndexSet::kMinDocuments) break;
        if (r.OneIn(4)) docs.push_back(RandomDocument(r, mixed));
        continue;
      }
      Value query = RandomQuery(r);
      Filter filter;
      CHECK(Filter::New(query.ref().as_object(), &filter).ok());
      Answer scanned = Ask(docs, filter, nullptr);
      Answer answered = Ask(docs, filter, &indexes);
      CHECK(answered == scanned);
      if (!(answered == scanned)) return;
    }
  }
}

TEST(AWindowIsOneRangeOfTheOrderIndex) {
  // Both bounds of a window narrow the candidates, with integers beyond
  // 2^53 among the values: only those sharing a key with a bound are
  // candidates the exact comparison then rules out.
  std::vector<Value> docs;
  for (int i = 0; i < 4000; ++i) docs.push_back(Parse("{\"t\":" + std::to_string(i) + "}"));
  const char* const big[] = {"9007199254740993", "9223372036854775807", "9223372036854775808",
                             "-9223372036854775808", "18446744073709551615"};
  for (const char* b : big) docs.push_back(Parse(std::string("{\"t\":") + b + "}"));
  struct Case {
    const char* query;
    size_t matches;
    size_t candidates;  // at most
  };
  const Case cases[] = {
      {R"({"t": {"$gte": 100, "$lt": 110}})", 10, 10},
      {R"({"t": {"$gt": 100, "$lte": 110}})", 10, 10},
      {R"({"t": {"$lt": 110, "$gte": 100.5}})", 9, 9},
      {R"({"t": {"$gt": 99.5, "$lt": 110, "$ne": 105}})", 9, 10},
      {R"({"t": {"$gt": 110, "$lt": 100}})", 0, 0},
      {R"({"t": {"$gte": 3999, "$lte": 9007199254740992}})", 1, 2},
      {R"({"t": {"$gt": 9007199254740992, "$lt": 9223372036854775808}})", 2, 2},
      {R"({"t": {"$gte": 9223372036854775807, "$lt": 18446744073709551615}})", 2, 3},
      {R"({"t": {"$gt": 9223372036854775807, "$lte": 18446744073709551615}})", 2, 3},
      {R"({"t": {"$gt": 9223372036854775808.0}})", 1, 2},
      {R"({"t": {"$lt": -9223372036854775807}})", 1, 1},
      {R"({"t": {"$gte": 1e19, "$lt": 1.8446744073709552e19}})", 1, 1},
  };
  IndexSet indexes;
  for (const Case& c : cases) {
    Value query = Parse(c.query);
    Filter filter;
    CHECK(Filter::New(query.ref().as_object(), &filter).ok());
    Answer scanned = Ask(docs, filter, nullptr);
    for (int round = 0; round < 2; ++round) {  // the first may only count the use
      CHECK(Ask(docs, filter, &indexes) == scanned);
    }
    CHECK_EQ(scanned.positions.size(), c.matches);
    std::vector<uint32_t> candidates;
    CHECK(indexes.Plan(docs, filter, &candidates));
    if (candidates.size() > c.candidates) std::cerr << "  query " << c.query << "\n";
    CHECK(candidates.size() <= c.candidates);
  }
  CHECK_EQ(indexes.index_count(), size_t{1});
}
