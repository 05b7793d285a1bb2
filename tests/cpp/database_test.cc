// The database operations on document values: loading, the result cache
// and the all-or-nothing rule of update, without an interpreter.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "check.h"
#include "database_peer.h"
#include "db/database.h"
#include "db_calls.h"
#include "test_util.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::testing::Files;
using moxal::testing::Parse;
using moxal::testing::TempDir;

namespace {

Converted<Value> Arg(const std::string& json) { return {Parse(json), Status()}; }

// The documents as one JSON array text.
std::string Text(const DocumentsPtr& docs) {
  std::string out = "[";
  for (const Value& d : *docs) out += (out.size() > 1 ? "," : "") + ToJson(d.ref());
  return out + "]";
}

// What Find gives: the documents, or the Status that says why none.
struct Listed {
  Status status;
  DocumentsPtr docs;
  bool ok() const { return status.ok(); }
  const DocumentsPtr& value() const { return docs; }
};

// find, with a fresh result filed in the cache as the method layer does.
Listed Find(Database& db, const std::string& name, const Converted<Value>* query = nullptr) {
  Found found;
  if (Status s = db.find(name, query, &found); !s.ok()) return {s, nullptr};
  db.cache_result(name, &found);
  return {Status(), found.docs};
}

std::string FindAll(Database& db, const std::string& name) {
  Listed r = Find(db, name);
  return r.ok() ? Text(r.value()) : "error: " + r.status.message();
}

}  // namespace

TEST(OpeningLoadsBothStoredForms) {
  TempDir dir(Files{{"a.json", R"([{"x":1},{"x":2}])"},
                    {"b.json", R"({"b":[{"y":true}]})"},
                    {"notes.txt", "not a collection"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  CHECK_EQ(FindAll(db, "a"), R"([{"x":1},{"x":2}])");
  CHECK_EQ(FindAll(db, "b"), R"([{"y":true}])");
  CHECK_EQ(FindAll(db, "notes"), "error: Collection with name 'notes' not found on disk");
}

TEST(AFileWrittenLaterIsLoadedOnDemandOnce) {
  TempDir dir(Files{});
  Database db(dir.path());
  CHECK(db.open().ok());
  std::ofstream(dir.path() + "/late.json") << R"([{"v":1}])";
  CHECK_EQ(FindAll(db, "late"), R"([{"v":1}])");
  std::ofstream(dir.path() + "/late.json") << R"([{"v":2}])";
  CHECK_EQ(FindAll(db, "late"), R"([{"v":1}])");  // memory, not the file
}

TEST(ResultCacheHitsUntilTheCollectionChanges) {
  TempDir dir(Files{{"c.json", R"([{"n":1},{"n":5}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  Converted<Value> query = Arg(R"({"n":{"$gt":2}})");
  Listed first = Find(db, "c", &query);
  Listed again = Find(db, "c", &query);
  CHECK(first.ok() && again.ok());
  CHECK(first.value() == again.value());  // the cached list itself
  CHECK(moxal::testing::Insert(db, "c", Arg(R"({"n":9})")).ok());
  Listed after = Find(db, "c", &query);
  CHECK_EQ(Text(after.value()), R"([{"n":5},{"n":9}])");
  CHECK_EQ(Text(first.value()), R"([{"n":5}])");  // an old result is not changed
  // A result that is not filed (its call failed later) leaves no entry.
  Converted<Value> other = Arg(R"({"n":{"$lt":2}})");
  Found unfiled;
  CHECK(db.find("c", &other, &unfiled).ok() && unfiled.fresh != nullptr);
  Found again_unfiled;
  CHECK(db.find("c", &other, &again_unfiled).ok() && again_unfiled.fresh != nullptr);
}

TEST(ClearCacheDropsEveryEntry) {
  TempDir dir(Files{{"c.json", R"([{"n":1},{"n":5}])"}, {"d.json", R"([{"n":5}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  Converted<Value> query = Arg(R"({"n":5})");
  CHECK(Find(db, "c", &query).ok() && Find(db, "d", &query).ok());
  for (const char* name : {"c", "d"}) {
    Found hit;
    CHECK(db.find(name, &query, &hit).ok() && hit.fresh == nullptr);
  }
  CHECK(db.clear_cache().ok());
  for (const char* name : {"c", "d"}) {
    Found rebuilt;
    CHECK(db.find(name, &query, &rebuilt).ok() && rebuilt.fresh != nullptr);
    CHECK_EQ(Text(rebuilt.docs), R"([{"n":5}])");
  }
}

TEST(ChangesThatTakeDocumentsAwayReleaseTheirCollectionsResults) {
  // What each change does to collection c, and whether another object
  // (sharing the journal) makes it: the cached results of c go, d's stay.
  struct Case {
    const char* what;
    bool other;
    std::function<Status(Database&, const std::string&)> change;
  };
  const Case cases[] = {
      {"drop_collection", false,
       [](Database& db, const std::string&) { return moxal::testing::DropCollection(db, "c"); }},
      {"delete", false,
       [](Database& db, const std::string&) {
         return moxal::testing::Remove(db, "c", Arg(R"({"n":1})"));
       }},
      {"load_from_document", false,
       [](Database& db, const std::string& dir) {
         return moxal::testing::LoadFromDocument(db, dir + "/more/load.json");
       }},
      {"drop_collection by another object", true,
       [](Database& db, const std::string&) { return moxal::testing::DropCollection(db, "c"); }},
      {"delete by another object", true,
       [](Database& db, const std::string&) {
         return moxal::testing::Remove(db, "c", Arg(R"({"n":5})"));
       }},
  };
  for (const Case& k : cases) {
    TempDir dir(Files{{"c.json", R"([{"n":1},{"n":5}])"},
                      {"d.json", R"([{"n":5}])"},
                      {"more/load.json", R"({"c":[{"n":7}]})"}});
    Durability durability = k.other ? Durability::kProcess : Durability::kOff;
    Database db(dir.path(), durability);
    CHECK(db.open().ok());
    Database other(dir.path(), durability);
    if (k.other) CHECK(other.open().ok());
    Converted<Value> query = Arg(R"({"n":{"$gte":1}})");
    CHECK(Find(db, "c", &query).ok() && Find(db, "d", &query).ok());
    CHECK_EQ(DatabaseTestPeer::Cache(db).size(), size_t{2});
    CHECK(k.change(k.other ? other : db, dir.path()).ok());
    size_t count;
    CHECK(db.count("d", nullptr, &count).ok());  // catches up with the other object
    std::vector<std::string> left = DatabaseTestPeer::Cache(db);
    CHECK_EQ(left.size(), size_t{1});
    if (left.size() != 1 || left[0].rfind("d ", 0) != 0) std::cerr << "  after " << k.what << "\n";
  }
}

TEST(AConversionErrorIsReportedWhereItsArgumentIsUsed) {
  TempDir dir(Files{});
  Database db(dir.path());
  CHECK(db.open().ok());
  Converted<Value> broken{Value(), Status::Unconvertible("conversion failed")};
  // The missing collection is found before the argument is used.
  Listed r = Find(db, "missing", &broken);
  CHECK_EQ(r.status.message(), "Collection with name 'missing' not found on disk");
  CHECK(moxal::testing::Insert(db, "c", Arg("{}")).ok());
  r = Find(db, "c", &broken);
  CHECK_EQ(r.status.message(), "conversion failed");
  Status s = moxal::testing::Insert(db, "../x", std::move(broken));
  CHECK_EQ(s.message(), "Invalid collection name '../x'");
}

// An update prepared and committed, as the method layer does without a
// returned result.
Status UpdateNow(Database& db, const std::string& name, const std::string& update,
                 const Converted<Value>* filter = nullptr) {
  return moxal::testing::Update(db, name, Arg(update), filter);
}

TEST(UpdateIsAllOrNothing) {
  TempDir dir(Files{{"c.json", R"([{"n":1,"s":"x"},{"n":"two"},{"n":3}])"},
                    {"d.json", R"([{"a":{"b":0}},{"a":1}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  std::string before = FindAll(db, "c");
  // The filter meets a string on the second document: nothing changes.
  Converted<Value> filter = Arg(R"({"n":{"$lt":10}})");
  Status s = UpdateNow(db, "c", R"({"s":"changed"})", &filter);
  CHECK(s.kind() == ErrorKind::kInternal && s.cause() != nullptr);
  CHECK_EQ(s.cause()->message(), "Malformed query, non-numeric value found for operator LessThan");
  CHECK_EQ(FindAll(db, "c"), before);
  // A Set that would nest the document too deeply: refused, nothing changes.
  std::string deep = "1";
  for (int i = 0; i < kMaxDocumentDepth - 1; ++i) deep = "[" + deep + "]";
  std::string d_before = FindAll(db, "d");
  s = UpdateNow(db, "d", R"({"a.b":{"$set":)" + deep + "}}");
  CHECK_EQ(s.message().substr(0, 15), "Update refused:");
  CHECK_EQ(FindAll(db, "d"), d_before);
  // A missing collection is an internal failure describing the error.
  s = UpdateNow(db, "nope", R"({"s":1})");
  CHECK(s.cause() != nullptr && s.cause()->kind() == ErrorKind::kNotFound);
}

TEST(APreparedUpdateChangesNothingUntilCommitted) {
  // Patched in place (arithmetic, a Set of the same length), replaced (a
  // longer Set, a Delete), left alone (no clause applies), and a document
  // shared with a held result, which is never written into.
  TempDir dir(
      Files{{"c.json", R"([{"n":1,"s":"ab"},{"n":2,"s":"abc"},{"m":3},{"n":4,"s":"xy"}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  Converted<Value> last = Arg(R"({"n":4})");
  Listed held = Find(db, "c", &last);
  const std::string before = R"([{"n":1,"s":"ab"},{"n":2,"s":"abc"},{"m":3},{"n":4,"s":"xy"}])";
  const std::string after =
      R"([{"n":11.0,"s":"cd"},{"n":12.0,"s":"cd"},{"m":3},{"n":14.0,"s":"cd"}])";
  {
    PreparedUpdate dropped;
    Converted<Value> add = Arg(R"({"n":{"$add":10},"s":"cd"})");
    CHECK(db.prepare_update("c", add, nullptr, &dropped, nullptr).ok());
    std::string view = "[";
    for (const Value& d : dropped.After()) view += (view.size() > 1 ? "," : "") + ToJson(d.ref());
    CHECK_EQ(view + "]", after);
    CHECK_EQ(FindAll(db, "c"), before);
  }
  CHECK_EQ(FindAll(db, "c"), before);
  PreparedUpdate prepared;
  Converted<Value> add = Arg(R"({"n":{"$add":10},"s":"cd"})");
  CHECK(db.prepare_update("c", add, nullptr, &prepared, nullptr).ok());
  CHECK_EQ(prepared.documents.patches.size(), 2u);       // both clauses on the first
  CHECK_EQ(prepared.documents.replacements.size(), 2u);  // a longer string, a shared one
  std::vector<Value> view = prepared.After();
  CHECK(db.commit(&prepared).ok());
  CHECK_EQ(FindAll(db, "c"), after);
  CHECK_EQ(Text(held.value()), R"([{"n":4,"s":"xy"}])");
  CHECK_EQ(ToJson(view[0].ref()), R"({"n":11.0,"s":"cd"})");
  // A filtered update commits only what it selected.
  Converted<Value> filter = Arg(R"({"n":12.0})");
  CHECK(UpdateNow(db, "c", R"({"n":{"$delete":1}})", &filter).ok());
  CHECK_EQ(FindAll(db, "c"), R"([{"n":11.0,"s":"cd"},{"s":"cd"},{"m":3},{"n":14.0,"s":"cd"}])");
}
