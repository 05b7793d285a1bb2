// The state behind one Moxal object, and every operation on it.
//
// A Database holds the directory path exactly as given (relative paths are
// resolved at each use), the collections in memory and the result cache.
// The operations are the bodies of the Python methods: the method wrappers
// (methods.cc) have already matched and converted the arguments and borrowed
// the object, and they raise whatever Status an operation returns. Each
// operation lives in the file named after its concern (db_*.cc).

#ifndef MOXAL_LIB_DATABASE_H_
#define MOXAL_LIB_DATABASE_H_

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "conversion/py_ref.h"
#include "lib/collection.h"
#include "lib/result_cache.h"
#include "values/status.h"

namespace moxal {

class Database {
 public:
  explicit Database(std::string name) : name_(std::move(name)) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& name() const { return name_; }

  // --- Opening (db_open.cc) ---------------------------------------------

  // Loads every collection file of the directory; when the directory cannot
  // be examined, tries to create it (one level, mode 0777) and starts empty.
  Status Open();

  // The stems of every entry of the directory, in listing order, as a new
  // list of str.
  Result<PyRef> collections() const;

  // --- Collections (db_collections.cc) ----------------------------------

  // Creates an empty collection and its file, unless something exists at
  // the file path already. Errors are the operating system's.
  Status create_collection(std::string_view collection_name);
  // Removes the collection's file (nothing there, or a directory there, is
  // no error) and then the collection in memory.
  Status drop_collection(std::string_view collection_name);
  // Drops every collection the directory's entries name, then removes the
  // directory if it is empty by then.
  Status drop_all();

  // --- Inserting (db_insert.cc) -----------------------------------------

  Status insert(std::string_view collection_name, PyObject* document);
  Status insert_many(std::string_view collection_name, PyObject* documents);
  Status insert_many_from_document(std::string_view collection_name,
                                   std::string_view document_name);
  Status load_from_document(std::string_view document_path);

  // Appends a copy of `document` to the collection (of each element, when
  // it is an array), creating the collection first when it is not in memory.
  Status insert_in_collection(std::string_view collection_name, ValueRef document);
  // The same for documents already split into separate values.
  Status insert_documents(std::string_view collection_name, std::vector<Value> docs);

  // --- Finding (db_find.cc) ---------------------------------------------

  // Every document of the collection, or those matching `maybe_query` (a
  // dict, or null for none), as a new list of dicts.
  Result<PyRef> find(std::string_view collection_name, PyObject* maybe_query);
  Status clear_cache();

  // Brings a collection that is not in memory in from its file.
  Status update_in_memory_collections(std::string_view collection_name);

  // --- Updating (db_update.cc) ------------------------------------------

  // Applies `update_query` to every document (or those matching
  // `maybe_query`, when not null); returns the whole collection afterwards
  // as a new list when `return_result`, else None.
  Result<PyRef> update(std::string_view collection_name, PyObject* update_query,
                       PyObject* maybe_query, bool return_result);

  // --- Writing (db_write.cc) --------------------------------------------

  Status write(std::string_view collection_name) const;
  Status write_all() const;
  // Replaces the collection's file with its documents as a compact JSON
  // array, through a temporary file beside it.
  Status _write(std::string_view collection_name, const Collection& collection) const;

  // --- The collection map -----------------------------------------------

  CollectionPtr Get(std::string_view collection_name) const;
  // Inserts or replaces (the old handle is released).
  void Put(std::string_view collection_name, CollectionPtr collection);
  void Remove(std::string_view collection_name);

 private:
  // The stems of the directory's entries in listing order: what
  // collections() returns and drop_all() drops.
  Status ListStems(std::vector<std::string>* stems) const;

  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  std::string name_;
  std::unordered_map<std::string, CollectionPtr, NameHash, std::equal_to<>> collections_;
  ResultCache cache_;
};

}  // namespace moxal

#endif  // MOXAL_LIB_DATABASE_H_
