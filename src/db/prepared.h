// Changes made ready, not yet made.
//
// Every call that changes the database goes in two steps. Preparing
// (Database::prepare_*) does everything that can fail without changing
// anything: it checks the arguments, loads the collection on demand, reads
// an imported file, evaluates the filter and makes the new documents.
// Committing (Database::commit) checks that the collection is still as it
// was prepared from, takes the few steps outside memory that can fail
// (making a collection's file, renaming a dropped one aside), appends the
// change's record to the journal when there is one, and only then makes
// the change in memory, which cannot fail. A commit that fails undoes its
// own steps, so a call makes its whole change or none.
//
// Between the two a caller may build the call's result from the prepared
// change (update's returned documents, delete's count) and give up on a
// pending signal; a prepared change dropped without its commit changes
// nothing.

#ifndef MOXAL_DB_PREPARED_H_
#define MOXAL_DB_PREPARED_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/collection.h"
#include "query/update.h"
#include "storage/file_identity.h"
#include "storage/journal_file.h"
#include "storage/replace_file.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

struct PreparedChange {
  // Set by a commit that leaves its record to be synced after the call
  // lets go of the database (the level that syncs every change): the call
  // returns once Database::wait_durable(durable_at, durable_epoch) does.
  // 0: nothing to wait for.
  uint64_t durable_at = 0;
  uint64_t durable_epoch = 0;
  // With a journal: the turn (journal_file.h), taken before the change is
  // prepared, so that it is prepared on the state every change before it
  // left and its record follows theirs; ended by the commit, or when the
  // change is dropped.
  JournalFile::Turn turn;
  // The failure of a part, which the commit reports after making the
  // other parts (load_from_document, drop_all).
  Status failure;
};

// A collection a commit makes, with its file: what the commit must undo
// when a later step fails.
struct NewCollection {
  CollectionPtr collection;  // null until made
  std::string path;
  std::optional<FileIdentity> file;  // the file made
  bool slot_added = false;           // the map had no entry of the name
  // With a journal the file is put in place only once the change's record
  // is synced (the record, not the file, says the collection exists); it
  // is made ready before, so that putting it in place allocates nothing.
  bool file_after_record = false;
  std::unique_ptr<StagedFile> staged;
};

// insert, insert_many, insert_many_from_document: documents appended to
// one collection.
struct PreparedInsert : PreparedChange {
  std::string name;
  CollectionPtr collection;  // null: a new collection, made by the commit
  uint64_t stamp = 0;
  std::vector<Value> docs;
  NewCollection made;
};

// load_from_document: the collections its object's members fill, in key
// order, up to the first member that fails, whose error (`failure`) the
// call reports once the members before it are in.
struct PreparedLoad : PreparedChange {
  std::vector<PreparedInsert> groups;
};

// An update whose changes are ready but not in place.
struct PreparedUpdate : PreparedChange {
  // Every document of the collection as the update leaves it. Throws
  // std::bad_alloc. Documents the update patches are copies here, so the
  // collection's own stay unshared until the commit.
  std::vector<Value> After() const;

  std::string name;
  CollectionPtr collection;
  uint64_t stamp = 0;  // the collection's when the update was prepared
  Update changes;      // holds the operands that patches copy
  DocumentChanges documents;
  // The queries as given, for a journal record that replays the update
  // rather than listing its new documents (when that is smaller).
  Value update_query;
  Value filter;  // empty for none
};

// A delete whose documents are chosen but not yet removed.
struct PreparedRemove : PreparedChange {
  std::string name;
  CollectionPtr collection;
  uint64_t stamp = 0;
  std::vector<size_t> positions;  // ascending
};

struct PreparedCreate : PreparedChange {
  std::string name;
  NewCollection made;  // null collection: the path was taken, nothing changes
};

// drop_collection (one name) and drop_all (a name per directory entry).
struct PreparedDrop : PreparedChange {
  struct Target {
    std::string name;
    std::string path;      // the collection's file
    std::string aside;     // with the journal: where the file was renamed to
    uint64_t token = 0;    // the aside name's token (0: no file was there)
    bool dropped = false;  // its file is gone (or aside): the commit drops it
  };
  std::vector<Target> targets;
  // drop_all: a file that cannot be removed does not stop the others; the
  // first failure is reported after them.
  bool all = false;
};

}  // namespace moxal

#endif  // MOXAL_DB_PREPARED_H_
