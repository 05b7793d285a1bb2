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
#include "query/update.h"
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
// (CacheResult), so a call that fails afterwards leaves the cache as it was.
struct Found {
  DocumentsPtr docs;
  uint64_t key = 0;
  uint64_t stamp = 0;
  Value query;
  ResultPtr fresh;  // null when the documents came from the cache, or no query
};

// An update whose changes are ready but not in place: the caller commits
// it (CommitUpdate), after building its result from After() when it
// returns one, or drops it to leave the collection as it was.
struct PreparedUpdate {
  // Every document of the collection as the update leaves it. Throws
  // std::bad_alloc. Documents the update patches are copies here, so the
  // collection's own stay unshared until the commit.
  std::vector<Value> After() const;

  CollectionPtr collection;
  uint64_t stamp = 0;  // the collection's when the update was prepared
  Update changes;      // holds the operands that patches copy
  DocumentChanges documents;
};

// A delete whose documents are chosen but not yet removed: the caller
// commits it (CommitRemove) or drops it to leave the collection as it was.
struct PreparedRemove {
  CollectionPtr collection;
  uint64_t stamp = 0;             // the collection's when it was prepared
  std::vector<size_t> positions;  // of the documents to remove, ascending
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
  Status insert_many(std::string_view collection_name, Converted<std::vector<Value>> documents);
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
  Status find(std::string_view collection_name, const Converted<Value>* maybe_query, Found* found);
  // Files a fresh result of find in the cache. Throws std::bad_alloc, with
  // the cache as it was.
  void CacheResult(std::string_view collection_name, Found* found);
  Status clear_cache();

  // How many documents of the collection `maybe_query` matches (every
  // document when null), with the checks, errors and loading on demand of
  // find, through the cache (a cached result's length) and the indexes;
  // builds no document and files no result.
  Status count(std::string_view collection_name, const Converted<Value>* maybe_query,
               size_t* count);

  // --- Removing documents (db_remove.cc) -------------------------------

  // Prepares the removal (Python's delete) of the documents of the
  // collection that `query` matches ({} matches every one), with the
  // checks, errors and loading on demand of find, in *prepared: nothing
  // changes until the caller commits. A failure, running out of memory
  // included (std::bad_alloc is thrown), leaves the collection as it was.
  Status remove(std::string_view collection_name, const Converted<Value>& query,
                PreparedRemove* prepared);
  // Removes the prepared documents, made by the last call of remove (no
  // other call may come between), so that no cached result of the
  // collection is returned again. Cannot fail.
  void CommitRemove(PreparedRemove* prepared) noexcept;

  // --- Updating (db_update.cc) -----------------------------------------

  // Prepares the update of every document by `update_query` (or of those
  // matching `maybe_query`, when not null) in *prepared, changing nothing
  // but the cache, which it empties first (and the map, when it loads the
  // collection on demand: that stays): the collection changes only when
  // the caller commits. A failure, running out of memory included (then
  // std::bad_alloc is thrown), leaves the collection as it was. The update
  // query's trace lines go to `trace` as its clauses are built.
  Status update(std::string_view collection_name, const Converted<Value>& update_query,
                const Converted<Value>* maybe_query, PreparedUpdate* prepared, TraceFn trace);
  // Puts the changes of a prepared update in place, made by the last call
  // of update (no other call may come between). Cannot fail.
  void CommitUpdate(PreparedUpdate* prepared) noexcept;

  // --- Writing (db_write.cc) -------------------------------------------

  // Replaces the collection's file with its documents as a compact JSON
  // array. ValueError when the collection is not in memory.
  Status write(std::string_view collection_name) const;
  // Writes every collection in memory; reports the first failure after
  // trying them all.
  Status write_all() const;

  // The collection files that write (of `collection_name`), or write_all
  // (when it is null), would replace although they changed since this
  // object last read or wrote them: another process or a person wrote
  // them, or put one where this object saw none. Where nothing is, nothing
  // changed. Appends their paths to *paths, after the errors write gives
  // for its argument.
  Status ChangedFiles(const std::string_view* collection_name,
                      std::vector<std::string>* paths) const;

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  using CollectionMap = std::unordered_map<std::string, CollectionPtr, NameHash, std::equal_to<>>;
  friend struct DatabaseTestPeer;  // tests compare the whole state

  // The collection map (db_open.cc).
  CollectionPtr FindInMemory(std::string_view collection_name) const;
  // Puts `collection` in the map under the name, replacing any entry; when
  // it throws std::bad_alloc, the map is as it was.
  void Register(std::string_view collection_name, CollectionPtr collection);
  void Unregister(std::string_view collection_name) noexcept;

  // Reads the collection file at `path` as the documents of
  // `collection_name`, into a new collection (db_open.cc). With `gone`
  // given, a file removed before it could be opened is no error: *gone is
  // set and *out left alone (see ReadCollectionFile).
  Status ReadCollection(std::string_view collection_name, const std::string& path,
                        CollectionPtr* out, bool* gone = nullptr) const;
  // Loads one collection from its file on disk into memory, replacing what
  // memory held under that name (db_find.cc). ValueError "Collection with
  // name '{name}' not found on disk" when nothing is at its path.
  Status LoadFromDisk(std::string_view collection_name);
  // The collection in memory, loaded from its file first when it is not.
  Status GetOrLoad(std::string_view collection_name, CollectionPtr* out);

  // Appends `docs` to the collection, creating it first when it is not in
  // memory (db_insert.cc). All or nothing: when the collection cannot be
  // created or room for the documents cannot be had, nothing changes.
  Status AppendDocuments(std::string_view collection_name, std::vector<Value> docs);
  // Takes out again, when load_from_document throws, the documents and
  // collections it inserted (db_insert.cc): Before and After bracket each
  // insertion; the destructor undoes the finished ones if an exception is
  // passing.
  class InsertionUndo {
   public:
    InsertionUndo(Database* db, size_t count);  // room for `count` insertions
    ~InsertionUndo();
    InsertionUndo(const InsertionUndo&) = delete;
    InsertionUndo& operator=(const InsertionUndo&) = delete;
    void Before(std::string_view collection_name);
    void After() noexcept;

   private:
    struct Step {
      std::string_view name;     // lives as long as the call's document
      CollectionPtr collection;  // the collection appended to, or null: created
      size_t size = 0;           // its documents before
      uint64_t stamp = 0;
      std::string path;  // the file of a created collection
      bool done = false;
    };
    Database* db_;
    int exceptions_;
    std::vector<Step> steps_;
  };

  // Creates the collection's file and puts `collection` in memory under its
  // name (db_collections.cc), or changes nothing and sets *created false
  // when something is at the file path already. Errors are the operating
  // system's.
  Status CreateCollectionFile(std::string_view collection_name, CollectionPtr collection,
                              bool* created);

  // The collection write writes, or the error write gives for the name
  // (db_write.cc).
  Status ToWrite(std::string_view collection_name, CollectionPtr* out) const;
  // Replaces the collection's file through a temporary file, and notes the
  // version written (db_write.cc).
  Status WriteCollectionFile(std::string_view collection_name, Collection& collection) const;

  std::string name_;
  CollectionMap collections_;
  ResultCache cache_;
};

}  // namespace moxal

#endif  // MOXAL_DB_DATABASE_H_
