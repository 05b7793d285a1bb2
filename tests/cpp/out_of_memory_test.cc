// Every database operation when memory runs out, the way SQLite tests its
// allocator: for n = 1, 2, ... the n-th allocation of the call fails
// (fail_alloc.h), until the call runs to its end with no failure injected.
// Each time the call must report the failure (std::bad_alloc, or a Status
// that is not ok) and leave everything as it was: the collection map, each
// collection's documents and stamp, the result cache (its entries and
// their order) and every file. The run without a failure must leave what a
// plain run leaves. (write_all is left out: it writes one collection after
// another, each all or nothing, and a failure stops it after the files
// already written.)

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "check.h"
#include "database_peer.h"
#include "db/database.h"
#include "db_calls.h"
#include "fail_alloc.h"
#include "test_util.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::testing::DirectoryContents;
using moxal::testing::FailAllocation;
using moxal::testing::Files;
using moxal::testing::Parse;
using moxal::testing::StopFailing;
using moxal::testing::TempDir;

namespace {

Converted<Value> Arg(const std::string& json) { return {Parse(json), Status()}; }

// The state a call may change. Stamps are kept apart: a failed call must
// leave them as they were, while two plain runs give different ones.
struct State {
  std::map<std::string, std::string> collections;
  std::map<std::string, uint64_t> stamps;
  std::vector<std::string> cache;
  std::map<std::string, std::string> files;

  static State Of(const Database& db, const std::string& root) {
    State s;
    s.collections = DatabaseTestPeer::Collections(db, &s.stamps);
    s.cache = DatabaseTestPeer::Cache(db);
    s.files = DirectoryContents(root);
    return s;
  }
  // The same without the stamps, for comparing two plain runs.
  std::string Shape() const {
    std::string out;
    for (const auto& [name, docs] : collections) out += name + "=" + docs + "\n";
    for (const std::string& line : cache) out += line.substr(0, line.rfind(" @")) + "\n";
    for (const auto& [name, text] : files) {
      // The journal's header holds a random id, and its records the
      // identities of the files folds write: two runs differ there.
      if (name.ends_with(".moxal-journal")) continue;
      // A large file's inode and time differ from run to run: its size stays.
      bool large = !text.empty() && text.front() == '<';
      out += name + ":" + (large ? text.substr(0, text.find(", inode")) : text) + "\n";
    }
    return out;
  }
  bool operator==(const State& o) const {
    return collections == o.collections && stamps == o.stamps && cache == o.cache &&
           files == o.files;
  }
};

std::string Describe(const State& s) {
  std::string out = s.Shape();
  for (const auto& [name, stamp] : s.stamps) out += name + " @" + std::to_string(stamp) + "\n";
  return out;
}

using Call = std::function<Status()>;

struct Case {
  const char* name;
  // Makes the call on `db` (whose directory is `root`/db) and all it needs,
  // with no failure armed.
  std::function<Call(Database& db, const std::string& root)> prepare;
  bool opened = true;         // the database is opened (and used) first
  bool resets_cache = false;  // a failed call leaves the cache empty
  bool allocates = true;      // false: the call allocates nothing
  // A collection a failed call may leave loaded (from its file, as it is
  // there), since loading on demand is a step of its own.
  const char* may_load = nullptr;
  std::string big;  // see Fixture
  // A fold: it may put files in place before a later step fails (each
  // file either old or new, the journal saying which). Memory must stay as
  // it was, and the directory, reopened, hold what memory holds.
  bool folds = false;
};

// The collections a new object finds in the directory of `db` (whose
// journal `db` lets go of first).
std::map<std::string, std::string> Reopened(Database& db) {
  db.close();
  Database again(db.name(), Durability::kProcess);
  CHECK(again.open().ok());
  std::map<std::string, uint64_t> stamps;
  return DatabaseTestPeer::Collections(again, &stamps);
}

// `now` without the collection `name` if `before` has none of that name
// and `now` has it as its file holds it.
State WithoutLoaded(State now, const State& before, const char* name, const std::string& root) {
  if (name == nullptr || before.collections.count(name) != 0) return now;
  std::string file = DirectoryContents(root)["/db/" + std::string(name) + ".json"];
  if (now.collections.count(name) != 0 && now.collections[name] == file) {
    now.collections.erase(name);
    now.stamps.erase(name);
  }
  return now;
}

// The documents, and files to import, that every case starts from. The
// file of "late" appears after the database is opened, so it is loaded on
// demand.
const Files kStart = {
    {"db/c.json",
     R"([{"n":1,"s":"ab","t":[1,2]},{"n":2,"s":"abc"},{"m":3,"o":{"p":4}},{"n":4,"s":"xy"}])"},
    {"db/d.json", R"({"d":[{"x":1},{"x":"two"}]})"},
    {"import.json", R"({"c":[{"i":1},{"i":2}],"fresh":[{"f":1}],"d":{"single":true}})"},
    {"array.json", R"([{"a":1},{"a":[2,3]}])"},
};

// Where the sweeps' directories go: a file system in memory where there is
// one, since the sweeps make (and sync) hundreds of files.
const char kBase[] = "/dev/shm";

// A database over a fresh directory of kStart, opened, with a result cached
// for each of its collections. `big`, when given, is a file put in as the
// collection "big" by a hard link (cheaper than a copy, and replacing the
// collection's file leaves it as it is).
struct Fixture {
  Fixture(bool open, const std::string& big, Durability durability = Durability::kOff)
      : dir(kStart, kBase), db(dir.path() + "/db", durability) {
    if (!big.empty()) CHECK(::link(big.c_str(), (dir.path() + "/db/big.json").c_str()) == 0);
    if (durability != Durability::kOff) {
      // A journal with a record already: opening replays it.
      Database first(dir.path() + "/db", durability);
      CHECK(first.open().ok());
      Converted<Value> doc = Arg(R"({"journaled":true})");
      CHECK(moxal::testing::Insert(first, "c", std::move(doc)).ok());
    }
    if (!open) return;
    CHECK(db.open().ok());
    std::ofstream(dir.path() + "/db/late.json") << R"([{"l":1},{"l":2}])";
    for (const char* q : {R"({"n":{"$gt":1}})", R"({"x":1})"}) {
      Converted<Value> query = Arg(q);
      Found found;
      const char* name = q[2] == 'n' ? "c" : "d";
      CHECK(db.find(name, &query, &found).ok());
      db.cache_result(name, &found);
    }
  }
  TempDir dir;
  Database db;
};

Call Find(Database& db, const char* name, const char* query) {
  std::shared_ptr<Converted<Value>> q;
  if (query != nullptr) q = std::make_shared<Converted<Value>>(Arg(query));
  return [&db, name, q] {
    Found found;
    Status s = db.find(name, q.get(), &found);
    if (s.ok()) db.cache_result(name, &found);
    return s;
  };
}

// An update as the method layer makes it: with a returned result, the view
// is built before the commit.
Call UpdateCall(Database& db, const char* update, const char* filter, bool result,
                const char* name = "c") {
  auto u = std::make_shared<Converted<Value>>(Arg(update));
  std::shared_ptr<Converted<Value>> f;
  if (filter != nullptr) f = std::make_shared<Converted<Value>>(Arg(filter));
  return [&db, u, f, result, name] {
    PreparedUpdate prepared;
    Status s = db.prepare_update(name, *u, f.get(), &prepared, nullptr);
    if (!s.ok()) return s;
    if (result) {
      std::vector<Value> after = prepared.After();
      CHECK(after.size() == prepared.collection->docs.size());
    }
    return db.commit(&prepared);
  };
}

// A count as the method layer makes it.
Call CountCall(Database& db, const char* name, const char* query) {
  std::shared_ptr<Converted<Value>> q;
  if (query != nullptr) q = std::make_shared<Converted<Value>>(Arg(query));
  return [&db, name, q] {
    size_t count = 0;
    return db.count(name, q.get(), &count);
  };
}

// A delete as the method layer makes it: prepared, then committed.
Call DeleteCall(Database& db, const char* name, const char* query) {
  auto q = std::make_shared<Converted<Value>>(Arg(query));
  return [&db, name, q] {
    PreparedRemove prepared;
    Status s = db.prepare_remove(name, *q, &prepared);
    if (s.ok()) s = db.commit(&prepared);
    return s;
  };
}

// Runs the case once with nothing failing, then once for each allocation
// it makes with that one failing. Returns how many allocations were failed.
int Sweep(const Case& c, Durability durability = Durability::kOff) {
  std::string want;
  {
    Fixture f(c.opened, c.big, durability);
    Call call = c.prepare(f.db, f.dir.path());
    CHECK(call().ok());
    want = State::Of(f.db, f.dir.path()).Shape();
  }
  for (uint64_t n = 1;; ++n) {
    Fixture f(c.opened, c.big, durability);
    Call call = c.prepare(f.db, f.dir.path());
    State before = State::Of(f.db, f.dir.path());
    if (c.resets_cache) before.cache.clear();
    Status s;
    bool threw = false;
    FailAllocation(n);
    try {
      s = call();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    bool failed_one = StopFailing();
    State now = State::Of(f.db, f.dir.path());
    if (!failed_one) {  // the call made fewer than n allocations
      CHECK(s.ok() && !threw);
      CHECK_EQ(now.Shape(), want);
      return static_cast<int>(n - 1);
    }
    bool reported = threw || !s.ok();
    if (c.folds) {
      // Not reported: the failure was one the fold could do without.
      bool memory_kept = reported ? now.collections == before.collections &&
                                        now.stamps == before.stamps && now.cache == before.cache
                                  : now.collections == before.collections;
      CHECK(memory_kept);
      // (The reopened object also loads files the fixture wrote later.)
      std::map<std::string, std::string> reopened = Reopened(f.db);
      for (const auto& [name, docs] : now.collections) CHECK_EQ(reopened[name], docs);
      continue;
    }
    now = WithoutLoaded(std::move(now), before, c.may_load, f.dir.path());
    if (!reported || !(now == before)) {
      std::cerr << "  " << c.name << ", allocation " << n
                << " failing: " << (reported ? "reported" : "NOT reported") << "; before:\n"
                << Describe(before) << "  after:\n"
                << Describe(now);
      CHECK(reported);
      CHECK(now == before);
      return -1;
    }
  }
}

}  // namespace

TEST(EveryAllocationFailureChangesNothing) {
  const Case cases[] = {
      {"open", [](Database& db, const std::string&) -> Call { return [&db] { return db.open(); }; },
       false},
      {"insert",
       [](Database& db, const std::string&) -> Call {
         auto doc = std::make_shared<Value>(Parse(R"({"new":[1,{"x":"y"}]})"));
         return [&db, doc] { return moxal::testing::Insert(db, "c", {std::move(*doc), Status()}); };
       }},
      {"insert into a new collection",
       [](Database& db, const std::string&) -> Call {
         auto doc = std::make_shared<Value>(Parse(R"({"new":1})"));
         return [&db, doc] {
           return moxal::testing::Insert(db, "fresh", {std::move(*doc), Status()});
         };
       }},
      {"insert_many",
       [](Database& db, const std::string&) -> Call {
         auto docs = std::make_shared<std::vector<Value>>();
         for (const char* d : {R"({"a":1})", R"({"b":"two"})", R"({"c":[3]})"}) {
           docs->push_back(Parse(d));
         }
         return [&db, docs] {
           return moxal::testing::InsertMany(db, "c", {std::move(*docs), Status()});
         };
       }},
      {"insert_many_from_document",
       [](Database& db, const std::string& root) -> Call {
         return [&db, root] {
           return moxal::testing::InsertManyFromDocument(db, "fresh", root + "/array.json");
         };
       }},
      {"load_from_document",
       [](Database& db, const std::string& root) -> Call {
         return [&db, root] { return moxal::testing::LoadFromDocument(db, root + "/import.json"); };
       }},
      {"find everything", [](Database& db, const std::string&) { return Find(db, "c", nullptr); },
       true, false, false},
      {"find a new query",
       [](Database& db, const std::string&) { return Find(db, "c", R"({"s":{"$ne":"ab"}})"); }},
      {"find a cached query",
       [](Database& db, const std::string&) { return Find(db, "c", R"({"n":{"$gt":1}})"); }, true,
       false, false},
      {"update",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"n":{"$add":1},"s":"zz"})", nullptr, false);
       },
       true, true},
      {"update with a filter",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"n":{"$inc":1},"t":{"$delete":1}})", R"({"n":{"$lt":3}})",
                           false);
       },
       true, true},
      {"update returning the result",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"s":"a longer string","o.p":{"$dec":1}})", nullptr, true);
       },
       true, true},
      {"update with a filter returning the result",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"n":{"$substract":1}})", R"({"n":{"$gte":2}})", true);
       },
       true, true},
      {"find a collection loaded on demand",
       [](Database& db, const std::string&) { return Find(db, "late", R"({"l":2})"); }, true, false,
       true, "late"},
      {"update a collection loaded on demand",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"l":{"$inc":1}})", nullptr, false, "late");
       },
       true, true, true, "late"},
      {"count a new query",
       [](Database& db, const std::string&) { return CountCall(db, "c", R"({"n":{"$lt":3}})"); }},
      {"count a cached query",
       [](Database& db, const std::string&) { return CountCall(db, "c", R"({"n":{"$gt":1}})"); },
       true, false, false},
      {"count a collection loaded on demand",
       [](Database& db, const std::string&) { return CountCall(db, "late", nullptr); }, true, false,
       true, "late"},
      {"delete",
       [](Database& db, const std::string&) { return DeleteCall(db, "c", R"({"n":{"$gte":2}})"); }},
      {"delete everything",
       [](Database& db, const std::string&) { return DeleteCall(db, "c", "{}"); }},
      {"delete from a collection loaded on demand",
       [](Database& db, const std::string&) { return DeleteCall(db, "late", R"({"l":1})"); }, true,
       false, true, "late"},
      {"write",
       [](Database& db, const std::string&) -> Call { return [&db] { return db.write("c"); }; }},
      {"create_collection",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::CreateCollection(db, "made"); };
       }},
      {"drop_collection",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::DropCollection(db, "c"); };
       }},
      {"drop_all",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::DropAll(db); };
       }},
  };
  for (const Case& c : cases) {
    int swept = Sweep(c);
    if (getenv("MOXAL_TEST_VERBOSE")) std::cerr << "  " << c.name << ": " << swept << "\n";
    CHECK(c.allocates ? swept > 0 : swept == 0);
  }
}

TEST(EveryAllocationFailureOfAJournaledCallChangesNothing) {
  auto update = [](const char* q, const char* f, bool result) {
    return [=](Database& db, const std::string&) { return UpdateCall(db, q, f, result); };
  };
  const Case cases[] = {
      {"open and replay",
       [](Database& db, const std::string&) -> Call { return [&db] { return db.open(); }; }, false},
      {"insert",
       [](Database& db, const std::string&) -> Call {
         auto doc = std::make_shared<Value>(Parse(R"({"new":[1,{"x":"y"}]})"));
         return [&db, doc] { return moxal::testing::Insert(db, "c", {std::move(*doc), Status()}); };
       }},
      {"insert into a new collection",
       [](Database& db, const std::string&) -> Call {
         auto doc = std::make_shared<Value>(Parse(R"({"new":1})"));
         return [&db, doc] {
           return moxal::testing::Insert(db, "fresh", {std::move(*doc), Status()});
         };
       }},
      {"load_from_document",
       [](Database& db, const std::string& root) -> Call {
         return [&db, root] { return moxal::testing::LoadFromDocument(db, root + "/import.json"); };
       }},
      {"update", update(R"({"n":{"$add":1},"s":"zz"})", nullptr, false), true, true},
      {"update returning the result", update(R"({"s":"longer","o.p":{"$dec":1}})", nullptr, true),
       true, true},
      {"delete",
       [](Database& db, const std::string&) { return DeleteCall(db, "c", R"({"n":{"$gte":2}})"); }},
      {"create_collection",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::CreateCollection(db, "made"); };
       }},
      {"drop_collection",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::DropCollection(db, "c"); };
       }},
      {"drop_all",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::DropAll(db); };
       }},
      {"write (a fold)",
       [](Database& db, const std::string&) -> Call {
         return [&db] {
           std::string_view name = "c";
           return moxal::testing::WriteThroughJournal(db, &name);
         };
       },
       true, false, true, nullptr, "", true},
      {"write_all (a fold)",
       [](Database& db, const std::string&) -> Call {
         return [&db] { return moxal::testing::WriteThroughJournal(db, nullptr); };
       },
       true, false, true, nullptr, "", true},
  };
  for (Durability d : {Durability::kAlways, Durability::kProcess}) {
    for (const Case& c : cases) {
      int swept = Sweep(c, d);
      if (getenv("MOXAL_TEST_VERBOSE"))
        std::cerr << "  journaled " << c.name << ": " << swept << "\n";
      CHECK(swept > 0);
    }
  }
}

// A collection file of `count` documents of 32 KiB each in `dir`; its path.
std::string LargeCollection(const std::string& dir, int count) {
  std::string path = dir + "/" + std::to_string(count) + ".json";
  std::ofstream out(path);
  out << "[";
  for (int i = 0; i < count; ++i) {
    out << (i ? "," : "") << R"({"i":)" << i << R"(,"s":")" << std::string(32 << 10, 'a' + i % 26)
        << R"("})";
  }
  out << "]";
  return path;
}

TEST(AllocationFailuresInLargeCollections) {
  // Large enough that opening reads the file in two parts on two threads
  // (from 4 MiB on, array_in_two.h) and that writing hands chunks to a
  // second thread (past 256 KiB, background_writer.h): their allocations
  // fail too. Documents of 32 KiB keep the number of allocations, and so
  // of runs, small.
  TempDir shared(Files{}, kBase);
  std::string two_parts = LargeCollection(shared.path(), 150);
  std::string chunks = LargeCollection(shared.path(), 20);
  const Case cases[] = {
      {"open", [](Database& db, const std::string&) -> Call { return [&db] { return db.open(); }; },
       false, false, true, nullptr, two_parts},
      {"write",
       [](Database& db, const std::string&) -> Call { return [&db] { return db.write("big"); }; },
       true, false, true, nullptr, chunks},
      {"update",
       [](Database& db, const std::string&) {
         return UpdateCall(db, R"({"i":{"$inc":1}})", R"({"i":{"$lt":3}})", true, "big");
       },
       true, true, true, nullptr, chunks},
      {"delete",
       [](Database& db, const std::string&) { return DeleteCall(db, "big", R"({"i":{"$lt":3}})"); },
       true, false, true, nullptr, chunks},
  };
  for (const Case& c : cases) {
    int swept = Sweep(c);
    if (getenv("MOXAL_TEST_VERBOSE")) std::cerr << "  large, " << c.name << ": " << swept << "\n";
    CHECK(swept > 0);
  }
}
