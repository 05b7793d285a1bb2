// The database's changes as the method layer makes them, prepared and then
// committed in one step, for tests that only want the change made.

#ifndef MOXAL_TESTS_CPP_DB_CALLS_H_
#define MOXAL_TESTS_CPP_DB_CALLS_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/fold.h"

namespace moxal::testing {

template <class Prepared, class Prepare>
Status PrepareAndCommit(Database& db, Prepare&& prepare) {
  Prepared change;
  if (Status s = prepare(&change); !s.ok()) return s;
  return db.commit(&change);
}

inline Status Insert(Database& db, std::string_view name, Converted<Value> doc) {
  return PrepareAndCommit<PreparedInsert>(
      db, [&](PreparedInsert* c) { return db.prepare_insert(name, std::move(doc), c); });
}

inline Status InsertMany(Database& db, std::string_view name, Converted<std::vector<Value>> docs) {
  return PrepareAndCommit<PreparedInsert>(
      db, [&](PreparedInsert* c) { return db.prepare_insert_many(name, std::move(docs), c); });
}

inline Status InsertManyFromDocument(Database& db, std::string_view name, std::string_view path) {
  return PrepareAndCommit<PreparedInsert>(
      db, [&](PreparedInsert* c) { return db.prepare_insert_many_from_document(name, path, c); });
}

inline Status LoadFromDocument(Database& db, std::string_view path) {
  return PrepareAndCommit<PreparedLoad>(
      db, [&](PreparedLoad* c) { return db.prepare_load_from_document(path, c); });
}

inline Status CreateCollection(Database& db, std::string_view name) {
  return PrepareAndCommit<PreparedCreate>(
      db, [&](PreparedCreate* c) { return db.prepare_create_collection(name, c); });
}

inline Status DropCollection(Database& db, std::string_view name) {
  return PrepareAndCommit<PreparedDrop>(
      db, [&](PreparedDrop* c) { return db.prepare_drop_collection(name, c); });
}

inline Status DropAll(Database& db) {
  return PrepareAndCommit<PreparedDrop>(db,
                                        [&](PreparedDrop* c) { return db.prepare_drop_all(c); });
}

inline Status Update(Database& db, std::string_view name, const Converted<Value>& update,
                     const Converted<Value>* filter = nullptr) {
  return PrepareAndCommit<PreparedUpdate>(
      db, [&](PreparedUpdate* c) { return db.prepare_update(name, update, filter, c, nullptr); });
}

inline Status Remove(Database& db, std::string_view name, const Converted<Value>& query) {
  return PrepareAndCommit<PreparedRemove>(
      db, [&](PreparedRemove* c) { return db.prepare_remove(name, query, c); });
}

// write (of `name`), or write_all (when null), with the journal: the fold
// planned, run and finished in one go.
inline Status WriteThroughJournal(Database& db, const std::string_view* name) {
  std::shared_ptr<Fold> fold;
  bool busy = false;
  if (Status s = db.plan_write(name, &fold, &busy); !s.ok() || fold == nullptr) return s;
  if (busy) {
    fold->Wait();
    return WriteThroughJournal(db, name);
  }
  fold->Run(db.journal_file());
  return db.finish_write(fold);
}

}  // namespace moxal::testing

#endif  // MOXAL_TESTS_CPP_DB_CALLS_H_
