// The state behind one Moxal object, and every operation on it.
//
// A Database holds the directory path exactly as given (relative paths are
// resolved at each use), the collections in memory and the result cache.
// Its operations work on document values only: the method layer
// (methods.cc) matches the Python arguments, converts them to values before
// calling an operation, converts what the operation returns to Python
// objects, and raises the exception a returned Status names. Each operation
// lives in the file named after its concern (db_*.cc).

#ifndef MOXAL_DB_DATABASE_H_
#define MOXAL_DB_DATABASE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/collection.h"
#include "db/result_cache.h"
#include "query/query.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// A stored document may nest one level less than a JSON text may, since
// its collection file wraps it in an array.
inline constexpr int kMaxDocumentDepth = kMaxNesting - 1;

// An argument the method layer converted from Python: the value, or the
// error its conversion met. An operation reports that error only when it
// reaches the step that uses the argument, so a call fails with the same
// error whichever of its checks comes first.
template <class T>
struct Converted {
  T value;
  Status error;
};

// Documents handed back to the method layer. They stay alive and unchanged
// while the pointer is held (documents are immutable, and the list is the
// collection's own only while the caller's borrow keeps changes out).
using DocumentsPtr = std::shared_ptr<const std::vector<Value>>;

// What find hands back: the documents, and a result just built for a query,
// which goes into the result cache only once the caller has used it
// (cache_result), so a call that fails afterwards leaves the cache as it was.
struct Found {
  DocumentsPtr docs;
  uint64_t key = 0;
  uint64_t stamp = 0;
  Value query;
  ResultPtr fresh;  // null when the documents came from the cache, or no query
};

// An update whose changed documents are ready but not yet stored: the
// caller builds its result from `after` and then calls commit_update, or
// drops it to leave the collection as it was.
struct PendingUpdate {
  CollectionPtr collection;
  std::vector<size_t> selected;  // indices of the documents that change
  std::vector<Value> changed;    // their new versions, in the same order
  std::vector<Value> after;      // every document as the update leaves it
};

class Database {
 public:
  explicit Database(std::string name) : name_(std::move(name)) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& name() const { return name_; }

  // --- Opening and listing (db_open.cc) --------------------------------

  // Loads every collection file of the directory; when the directory cannot
  // be examined, tries to create it (one level, mode 0777) and starts empty.
  Status open();

  // The stems of every entry of the directory, in listing order, with no
  // filter: what drop_all drops too. A stem that is not valid UTF-8 is an
  // internal failure.
  Status collections(std::vector<std::string>* names) const;

  // --- Collections (db_collections.cc) ---------------------------------

  // Creates an empty collection and its file, unless something exists at
  // the file path already (or appears there meanwhile). Errors are the
  // operating system's.
  Status create_collection(std::string_view collection_name);
  // Removes the collection's file (nothing there, or a directory there, is
  // no error) and then the collection in memory.
  Status drop_collection(std::string_view collection_name);
  // Drops every collection the directory's entries name, then removes the
  // directory if it is empty by then.
  Status drop_all();

  // --- Inserting (db_insert.cc) ----------------------------------------

  // Appends one document (insert) or each of several (insert_many), creating
  // the collection first when it is not in memory.
  Status insert(std::string_view collection_name, Converted<Value> document);
  Status insert_many(std::string_view collection_name,
                     Converted<std::vector<Value>> documents);
  // The same for the elements of the JSON array in file `document_name`.
  Status insert_many_from_document(std::string_view collection_name,
                                   std::string_view document_name);
  // Fills the collections named by the members of the JSON object in file
  // `document_path`, in key order.
  Status load_from_document(std::string_view document_path);

  // --- Finding (db_find.cc) --------------------------------------------

  // Every document of the collection, or those matching `maybe_query` (an
  // object; null for none), loading the collection from its file first when
  // it is not in memory. Query results go through the result cache.
  Status find(std::string_view collection_name, const Converted<Value>* maybe_query,
              Found* found);
  // Files a fresh result of find in the cache.
  void cache_result(std::string_view collection_name, Found* found);
  Status clear_cache();

  // --- Updating (db_update.cc) -----------------------------------------

  // Applies `update_query` to every document (or those matching
  // `maybe_query`, when not null). All or nothing: every check is made
  // before the first document changes. With `return_result` the changes
  // are left in *pending for commit_update; otherwise they are stored at
  // once.
  // The update query's trace lines go to `trace` as its clauses are built.
  Status update(std::string_view collection_name, const Converted<Value>& update_query,
                const Converted<Value>* maybe_query, bool return_result,
                PendingUpdate* pending, TraceFn trace);
  // Stores the changes of a pending update.
  void commit_update(PendingUpdate* pending);

  // --- Writing (db_write.cc) -------------------------------------------

  // Replaces the collection's file with its documents as a compact JSON
  // array. ValueError when the collection is not in memory.
  Status write(std::string_view collection_name) const;
  // Writes every collection in memory; reports the first failure after
  // trying them all.
  Status write_all() const;

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  // The collection map (db_open.cc).
  CollectionPtr get(std::string_view collection_name) const;
  void put(std::string_view collection_name, CollectionPtr collection);  // replaces
  void remove(std::string_view collection_name);

  // Loads one collection from its file on disk into memory, replacing what
  // memory held under that name (db_find.cc). ValueError "Collection with
  // name '{name}' not found on disk" when nothing is at its path.
  Status update_in_memory_collections(std::string_view collection_name);
  // Reads the collection file at `path` and puts its documents in memory
  // under `collection_name`, replacing what memory held under that name.
  Status load_collection(std::string_view collection_name, const std::string& path);
  // The collection in memory, loaded from its file first when it is not.
  Status get_or_load(std::string_view collection_name, CollectionPtr* out);

  // Appends `docs` to the collection, creating it first when it is not in
  // memory (db_insert.cc).
  Status insert_documents(std::string_view collection_name, std::vector<Value> docs);
  // The same for a document value: each element of an array, or the value.
  Status insert_in_collection(std::string_view collection_name, ValueRef document);

  // Replaces the collection's file through a temporary file (db_write.cc).
  Status _write(std::string_view collection_name, const Collection& collection) const;

  std::string name_;
  std::unordered_map<std::string, CollectionPtr, NameHash, std::equal_to<>> collections_;
  ResultCache cache_;
};

}  // namespace moxal

#endif  // MOXAL_DB_DATABASE_H_
