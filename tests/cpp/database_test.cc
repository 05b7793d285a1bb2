// The database operations on document values: loading, the result cache
// and the all-or-nothing rule of update, without an interpreter.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "check.h"
#include "db/database.h"
#include "test_util.h"
#include "values/json_writer.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// A fresh database directory holding the given files.
class TempDir {
 public:
  explicit TempDir(const Files& files) {
    char pattern[] = "/tmp/moxal-db-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
    for (const auto& [name, text] : files) std::ofstream(path_ + "/" + name) << text;
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Converted<Value> Arg(const std::string& json) { return {Parse(json), Status()}; }

// The documents as one JSON array text.
std::string Text(const DocumentsPtr& docs) {
  std::string out = "[";
  for (const Value& d : *docs) out += (out.size() > 1 ? "," : "") + ToJson(d.ref());
  return out + "]";
}

// find, with a fresh result filed in the cache as the method layer does.
Result<DocumentsPtr> Find(Database& db, const std::string& name,
                          const Converted<Value>* query = nullptr) {
  Found found;
  if (Status s = db.find(name, query, &found); !s.ok()) return s;
  db.cache_result(name, &found);
  return found.docs;
}

std::string FindAll(Database& db, const std::string& name) {
  Result<DocumentsPtr> r = Find(db, name);
  return r.ok() ? Text(r.value()) : "error: " + r.status().message();
}

}  // namespace

TEST(OpeningLoadsBothStoredForms) {
  TempDir dir(Files{{"a.json", R"([{"x":1},{"x":2}])"}, {"b.json", R"({"b":[{"y":true}]})"},
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
  Result<DocumentsPtr> first = Find(db, "c", &query);
  Result<DocumentsPtr> again = Find(db, "c", &query);
  CHECK(first.ok() && again.ok());
  CHECK(first.value() == again.value());  // the cached list itself
  CHECK(db.insert("c", Arg(R"({"n":9})")).ok());
  Result<DocumentsPtr> after = Find(db, "c", &query);
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

TEST(AConversionErrorIsReportedWhereItsArgumentIsUsed) {
  TempDir dir(Files{});
  Database db(dir.path());
  CHECK(db.open().ok());
  Converted<Value> broken{Value(), Status::Unconvertible("conversion failed")};
  // The missing collection is found before the argument is used.
  Result<DocumentsPtr> r = Find(db, "missing", &broken);
  CHECK_EQ(r.status().message(), "Collection with name 'missing' not found on disk");
  CHECK(db.insert("c", Arg("{}")).ok());
  r = Find(db, "c", &broken);
  CHECK_EQ(r.status().message(), "conversion failed");
  Status s = db.insert("../x", std::move(broken));
  CHECK_EQ(s.message(), "Invalid collection name '../x'");
}

TEST(UpdateIsAllOrNothing) {
  TempDir dir(Files{{"c.json", R"([{"n":1,"s":"x"},{"n":"two"},{"n":3}])"},
                    {"d.json", R"([{"a":{"b":0}},{"a":1}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  std::string before = FindAll(db, "c");
  PendingUpdate pending;
  // The filter meets a string on the second document: nothing changes.
  Converted<Value> filter = Arg(R"({"n":{"$lt":10}})");
  Status s = db.update("c", Arg(R"({"s":"changed"})"), &filter, false, &pending, nullptr);
  CHECK(s.kind() == ErrorKind::kInternal && s.cause() != nullptr);
  CHECK_EQ(s.cause()->message(), "Malformed query, non-numeric value found for operator LessThan");
  CHECK_EQ(FindAll(db, "c"), before);
  // A Set that would nest the document too deeply: refused, nothing changes.
  std::string deep = "1";
  for (int i = 0; i < kMaxDocumentDepth - 1; ++i) deep = "[" + deep + "]";
  std::string d_before = FindAll(db, "d");
  s = db.update("d", Arg(R"({"a.b":{"$set":)" + deep + "}}"), nullptr, false, &pending, nullptr);
  CHECK_EQ(s.message().substr(0, 15), "Update refused:");
  CHECK_EQ(FindAll(db, "d"), d_before);
  // A missing collection is an internal failure describing the error.
  s = db.update("nope", Arg(R"({"s":1})"), nullptr, false, &pending, nullptr);
  CHECK(s.cause() != nullptr && s.cause()->kind() == ErrorKind::kNotFound);
}

TEST(AReturnedUpdateChangesNothingUntilCommitted) {
  TempDir dir(Files{{"c.json", R"([{"n":1},{"n":2}])"}});
  Database db(dir.path());
  CHECK(db.open().ok());
  {
    PendingUpdate dropped;
    CHECK(db.update("c", Arg(R"({"n":{"$add":10}})"), nullptr, true, &dropped, nullptr).ok());
    std::string after;
    for (const Value& d : dropped.after) after += ToJson(d.ref());
    CHECK_EQ(after, R"({"n":11.0}{"n":12.0})");
    CHECK_EQ(FindAll(db, "c"), R"([{"n":1},{"n":2}])");
  }
  CHECK_EQ(FindAll(db, "c"), R"([{"n":1},{"n":2}])");
  PendingUpdate pending;
  Converted<Value> filter = Arg(R"({"n":2})");
  CHECK(db.update("c", Arg(R"({"n":{"$add":10}})"), &filter, true, &pending, nullptr).ok());
  db.commit_update(&pending);
  CHECK_EQ(FindAll(db, "c"), R"([{"n":1},{"n":12.0}])");
}
