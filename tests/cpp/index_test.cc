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
#include "db/page_select.h"
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
                               "1e300"};
const char* const kNumbers[] = {
    "0",     "1", "1.0", "-0.0", "2.5", "-3", "7", "100", "9007199254740993", "9007199254740992.0",
    "-1e300"};
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
    text += op[0] == '\0' ? operand : std::string("{\"") + op + "\":" + operand + "}";
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

// A page sorted on "t" (then maybe on another path), cut at random.
Page RandomPage(Random& r) {
  Page page;
  page.sort.push_back(SortKey{{"t"}, r.OneIn(2)});
  if (r.OneIn(3)) page.sort.push_back(SortKey{{r.OneIn(2) ? "b" : "n"}, r.OneIn(2)});
  const size_t kCuts[] = {0, 1, 3, 20, 300};
  page.limit = kCuts[r.Below(std::size(kCuts))];
  page.skip = r.OneIn(3) ? kCuts[r.Below(std::size(kCuts))] : 0;
  return page;
}

Answer AskPage(const std::vector<Value>& docs, const Filter* filter, const Page& page,
               IndexSet* indexes, PageStats* stats = nullptr) {
  Answer a;
  Status s = SelectPage(docs, indexes, filter, page, &a.positions, stats);
  a.kind = s.kind();
  a.message = s.message();
  if (!s.ok()) a.positions.clear();
  return a;
}

// One random life of a collection; returns how many answers came through
// an index (the set had one).
size_t RunCollection(uint64_t seed, size_t* walked) {
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
    } else if (what <= 8) {
      // A page, without a filter or with one; the index walk, when it
      // answers, gives what sorting every match gives.
      Value query = RandomQuery(r);
      Filter filter;
      CHECK(Filter::New(query.ref().as_object(), &filter).ok());
      const Filter* f = r.OneIn(2) ? nullptr : &filter;
      Page page = RandomPage(r);
      PageStats stats;
      Answer answered = AskPage(docs, f, page, &indexes, &stats);
      CHECK(answered == AskPage(docs, f, page, nullptr));
      if (stats.through_index) ++*walked;
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
  size_t walked = 0;
  for (uint64_t seed = 1; seed <= 60; ++seed) indexed += RunCollection(seed, &walked);
  CHECK(indexed > 5000);  // the comparison really went through indexes
  CHECK(walked > 1000);   // and pages through order indexes
}

TEST(PagesThroughAnOrderIndexVisitAboutTheirSize) {
  // 20,000 documents, "t" growing, each value twice, and missing from
  // every 50th: the newest 20 (then the next 20, those matching a filter
  // most documents pass, or those below a bound) are found by visiting
  // about as many index entries, once the second ask has built the index.
  std::vector<Value> docs;
  for (int i = 0; i < 20000; ++i) {
    docs.push_back(Parse(i % 50 == 7 ? "{\"k\":1}"
                                     : "{\"k\":" + std::to_string(i % 3) +
                                           ",\"t\":" + std::to_string(i / 2) + "}"));
  }
  IndexSet indexes;
  Value query = Parse("{\"k\":{\"$ne\":2}}");
  Filter filter;
  CHECK(Filter::New(query.ref().as_object(), &filter).ok());
  // The walk starts where the range does, not at the newest (at the
  // bound's own key, whose two documents do not match).
  Value before = Parse("{\"t\":{\"$lt\":5000}}");
  Filter range;
  CHECK(Filter::New(before.ref().as_object(), &range).ok());
  struct Case {
    const Filter* filter;
    bool descending;
    size_t skip;
    size_t most_visited;
  };
  const Case cases[] = {{nullptr, true, 0, 21},
                        {nullptr, true, 20, 41},
                        {&filter, true, 0, 40},
                        {&range, true, 0, 23},
                        {nullptr, false, 0, 21}};
  for (const Case& c : cases) {
    Page page;
    page.sort.push_back(SortKey{{"t"}, c.descending});
    page.limit = 20;
    page.skip = c.skip;
    Answer sorted = AskPage(docs, c.filter, page, nullptr);
    CHECK_EQ(sorted.positions.size(), size_t{20});
    PageStats stats;
    for (int ask = 0; ask < 2; ++ask) AskPage(docs, c.filter, page, &indexes);
    Answer walked = AskPage(docs, c.filter, page, &indexes, &stats);
    CHECK(walked == sorted);
    CHECK(stats.through_index);
    CHECK(stats.visited <= c.most_visited);
  }
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
