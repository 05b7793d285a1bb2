// The state behind one Moxal object, and every operation on it.
//
// A Database holds the directory path exactly as given (relative paths are
// resolved at each use), the collections in memory, the result cache and,
// when it was opened with one, the directory's journal. Its operations work
// on document values only: the method layer (methods.cc) matches the
// Python arguments, converts them to values before calling an operation,
// converts what the operation returns to Python objects, and raises the
// exception a returned Status names. Each operation lives in the file named
// after its concern (db_*.cc).
//
// Calls of one Database run one at a time (the method layer's borrow), on
// any thread; only wait_durable and the fold's run (fold.h) may run beside
// them, and they touch nothing but the journal file and the fold.
//
// Changes are prepared, then committed (prepared.h); reads (find, count,
// collections, the write checks) are single calls. Every call that works
// on the collections (find, count, clear_cache, each prepare_*, plan_write,
// changed_files) begins with Enter (db_journal.cc), which finishes a fold
// that ended in the background, goes back to the state on disk when a sync
// of the journal failed, and applies the records other objects (of this
// process or others) appended since this one last looked: a call sees
// every change acknowledged before it began. A change is prepared under
// the journal's turn, after the records before it are applied.

#ifndef MOXAL_DB_DATABASE_H_
#define MOXAL_DB_DATABASE_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/collection.h"
#include "db/prepared.h"
#include "db/result_cache.h"
#include "query/filter.h"
#include "query/page.h"
#include "query/query.h"
#include "query/update.h"
#include "storage/journal_file.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// A stored document may nest one level less than a JSON text may, since
// its collection file wraps it in an array.
inline constexpr int kMaxDocumentDepth = kMaxNesting - 1;

// How a database directory keeps changes between writes.
enum class Durability : unsigned char {
  kOff,      // no journal: changes reach the disk at write and write_all
  kProcess,  // journaled when made: a killed process loses nothing; synced
             // in the background about twice a second, and at write,
             // write_all and close
  kAlways,   // journaled and synced before the call returns
};

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
  std::string page;  // Page::Identity()
  ResultPtr fresh;   // null when the documents came from the cache, or no query
};

class BlobArena;
class Fold;
class RecordBuilder;
class RecordReader;

class Database {
 public:
  explicit Database(std::string name, Durability durability = Durability::kOff);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  // Waits for a fold that runs in the background, and syncs the journal
  // (see close).
  ~Database();

  const std::string& name() const { return name_; }
  Durability durability() const { return durability_; }

  // --- Opening and listing (db_open.cc) --------------------------------

  // Loads every collection file of the directory; when the directory cannot
  // be examined, tries to create it (one level, mode 0777) and starts empty.
  // With a journal, then opens it (making it when missing) and replays it.
  // Without one, a directory whose journal holds records is refused
  // (ValueError): its files alone are not its state.
  Status open();

  // The stems of every entry of the directory, in listing order, but the
  // journal's own files: what drop_all drops too. A stem that is not valid
  // UTF-8 is an internal failure.
  Status collections(std::vector<std::string>* names) const;

  // Ends what runs beside the calls: waits for a fold running in the
  // background, syncs the journal and lets go of it (and of its lock).
  // The last call on the object: only its destruction may follow. Safe to
  // call more than once, and without the interpreter lock.
  void close();

  // --- Changes (prepared.h) --------------------------------------------
  //
  // Each prepare_* checks its arguments and makes its change ready in
  // *out, changing nothing but the result cache (update empties it first)
  // and the collections in memory (a collection loaded on demand stays).
  // Running out of memory throws std::bad_alloc, changing nothing.

  // Documents appended to the collection, which is made first (with its
  // file) when it is not in memory.
  Status prepare_insert(std::string_view collection_name, Converted<Value> document,
                        PreparedInsert* out);
  Status prepare_insert_many(std::string_view collection_name,
                             Converted<std::vector<Value>> documents, PreparedInsert* out);
  // The elements of the JSON array in file `document_name`.
  Status prepare_insert_many_from_document(std::string_view collection_name,
                                           std::string_view document_name, PreparedInsert* out);
  // The collections named by the members of the JSON object in file
  // `document_path`, in key order.
  Status prepare_load_from_document(std::string_view document_path, PreparedLoad* out);
  // Every document changed by `update_query`, or those `maybe_query`
  // matches when not null. The update query's trace lines go to `trace`
  // as its clauses are built.
  Status prepare_update(std::string_view collection_name, const Converted<Value>& update_query,
                        const Converted<Value>* maybe_query, PreparedUpdate* out, TraceFn trace);
  // The documents `query` matches ({} matches every one), removed (Python's
  // delete), with the checks, errors and loading on demand of find.
  Status prepare_remove(std::string_view collection_name, const Converted<Value>& query,
                        PreparedRemove* out);
  // An empty collection and its file, unless the collection is in memory
  // or something is at the file path already (then the commit changes
  // nothing).
  Status prepare_create_collection(std::string_view collection_name, PreparedCreate* out);
  // The collection's file removed (nothing there, or a directory there, is
  // no error), then the collection in memory.
  Status prepare_drop_collection(std::string_view collection_name, PreparedDrop* out);
  // Every collection the directory's entries name, then the directory if
  // it is empty by then.
  Status prepare_drop_all(PreparedDrop* out);

  // Makes a prepared change: an internal failure if its collection changed
  // since it was prepared; an OSError (nothing changed) when its record
  // cannot be appended to the journal or a file it makes or moves cannot
  // be. load_from_document and drop_all may report the failure of one part
  // after making the others. Sets `durable_at` (prepared.h). Throws
  // std::bad_alloc, changing nothing.
  Status commit(PreparedInsert* change);
  Status commit(PreparedLoad* change);
  Status commit(PreparedUpdate* change);
  Status commit(PreparedRemove* change);
  Status commit(PreparedCreate* change);
  Status commit(PreparedDrop* change);

  // Returns once the journal holds the records before `position` (of
  // `epoch`) on stable storage: the wait a committed change leaves in
  // `durable_at`, made after the call lets go of the database, so other
  // threads' changes share the sync (group commit). OSError when the sync
  // fails; the next call then goes back to the state on disk. May run
  // beside other calls.
  Status wait_durable(uint64_t position, uint64_t epoch);
  // After wait_durable failed: goes back to the state on disk now, so that
  // the failed call returns with its change gone from memory. (Every call
  // would do it first anyway.)
  void recover() { static_cast<void>(Enter()); }

  // --- Finding (db_find.cc) --------------------------------------------

  // Every document of the collection, or those matching `maybe_query` (an
  // object; null for none), loading the collection from its file first when
  // it is not in memory. Query results go through the result cache.
  Status find(std::string_view collection_name, const Converted<Value>* maybe_query, Found* found);
  // The same, only the matches on `page` (query/page.h, page_select.h),
  // in its order. Without a query nothing goes through the cache, as
  // above; with one, the page is part of what a result is filed under.
  Status find(std::string_view collection_name, const Converted<Value>* maybe_query,
              const Page& page, Found* found);
  // Files a fresh result of find in the cache. Throws std::bad_alloc, with
  // the cache as it was.
  void cache_result(std::string_view collection_name, Found* found);
  Status clear_cache();

  // How many documents of the collection `maybe_query` matches (every
  // document when null), with the checks, errors and loading on demand of
  // find, through the cache (a cached result's length) and the indexes;
  // builds no document and files no result.
  Status count(std::string_view collection_name, const Converted<Value>* maybe_query,
               size_t* count);

  // --- Writing (db_write.cc) -------------------------------------------

  // Without the journal: replaces the collection's file with its documents
  // as a compact JSON array (ValueError when the collection is not in
  // memory), and writes every collection in memory (reporting the first
  // failure after trying them all).
  Status write(std::string_view collection_name) const;
  Status write_all() const;

  // With the journal, write and write_all fold it into the files (fold.h):
  // plan_write plans the fold of the collection (or of every collection
  // that changed since its file was written, when `collection_name` is
  // null) in *fold; the caller runs it without the database
  // (Fold::Run, with journal_file()), then calls finish_write. A fold
  // running in the background is waited for first. *fold stays null when
  // nothing needs writing.
  // While a fold of this object runs in the background, sets *busy and
  // *fold to it; while another object folds, sets *busy and leaves *fold
  // null: the caller waits for it (Fold::Wait, or wait_for_other_fold)
  // without the database, then asks again.
  Status plan_write(const std::string_view* collection_name, std::shared_ptr<Fold>* fold,
                    bool* busy);
  void wait_for_other_fold() const;
  Status finish_write(const std::shared_ptr<Fold>& fold);
  JournalFile* journal_file() const;

  // The collection files that write (of `collection_name`), or write_all
  // (when it is null), would replace although they changed since this
  // object last read or wrote them: another process or a person wrote
  // them, or put one where this object saw none. Where nothing is, nothing
  // changed. Appends their paths to *paths, after the errors write gives
  // for its argument.
  Status changed_files(const std::string_view* collection_name, std::vector<std::string>* paths);

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  using CollectionMap = std::unordered_map<std::string, CollectionPtr, NameHash, std::equal_to<>>;
  struct Journal;  // db_journal.cc
  struct ReplayPlan;
  struct ReplayContext;
  friend struct DatabaseTestPeer;  // tests compare the whole state

  // --- Every call (db_journal.cc) ---
  // Finishes a fold that ended, goes back to the state on disk after a
  // failed sync of the journal, opens the journal again in a forked child,
  // and applies the records other objects appended. Its Status is the
  // call's error.
  Status Enter();
  // Enter's steps but applying the records.
  Status EnterAlone();
  // Enter, then, with a journal, takes the turn for `change` and applies
  // the records appended before it.
  Status BeginChange(PreparedChange* change);
  // Without a journal: refuses a change of files (OSError) while objects
  // with the journal have the directory open: they would not see it, and
  // their next write would undo it; nor does this object see their changes.
  Status CheckUnshared() const;
  // Applies the records appended since `applied`, under `turn` when it is
  // held; reads the state on disk again when they cannot be had.
  Status CatchUp(JournalFile::Turn* turn);
  // Reads the state on disk again (files and journal), under a turn.
  Status Reload(JournalFile::Turn* turn);
  // In a forked child: opens the journal again for this process.
  Status Reattach();
  // The collection the call works on, loaded on demand, and its filter
  // parsed from `query` (left empty when `query` is null): the opening of
  // find, count, update and delete. Errors in the order find reports them.
  // For a change, begins it (BeginChange) rather than entering.
  Status Select(std::string_view collection_name, const Converted<Value>* query,
                CollectionPtr* collection, Filter* filter, PreparedChange* change = nullptr);

  // --- The collection map (db_open.cc) ---
  // CheckCollectionName, then, for a name that is not in memory, that its
  // file is not the file of a collection that is (FileTaken): two
  // collections writing one file would erase each other's documents.
  Status CheckName(std::string_view collection_name) const;
  CollectionPtr FindInMemory(std::string_view collection_name) const;
  // Puts `collection` in the map under the name, replacing any entry; when
  // it throws std::bad_alloc, the map is as it was.
  void Register(std::string_view collection_name, CollectionPtr collection);
  void Unregister(std::string_view collection_name) noexcept;
  // Reads every collection file of the directory into *map (db_open.cc).
  Status LoadFiles(CollectionMap* map) const;
  // Reads the collection file at `path` as the documents of
  // `collection_name`, into a new collection (db_open.cc). With `gone`
  // given, a file removed before it could be opened is no error: *gone is
  // set and *out left alone (see ReadCollectionFile).
  Status ReadCollection(std::string_view collection_name, const std::string& path,
                        CollectionPtr* out, bool* gone = nullptr) const;
  // Loads one collection from its file into *map, replacing what the map
  // held under that name (db_find.cc). ValueError "Collection with name
  // '{name}' not found on disk" when nothing is at its path.
  Status LoadFromDisk(std::string_view collection_name, CollectionMap* map) const;
  Status LoadFromDisk(std::string_view collection_name) {
    return LoadFromDisk(collection_name, &collections_);
  }
  // The collection in memory, loaded from its file first when it is not.
  Status GetOrLoad(std::string_view collection_name, CollectionPtr* out);

  // --- Commits (db_commit.cc): the steps of each change ---
  template <class Change>
  Status Commit(Change* change);
  // Steps with effects outside memory that can fail, taken before the
  // record is appended; Undo takes them back when what follows fails.
  Status Reserve(PreparedInsert* c);
  Status Reserve(PreparedLoad* c);
  Status Reserve(PreparedUpdate* c);
  Status Reserve(PreparedRemove* c);
  Status Reserve(PreparedCreate* c);
  Status Reserve(PreparedDrop* c);
  void Undo(PreparedInsert* c) noexcept;
  void Undo(PreparedLoad* c) noexcept;
  void Undo(PreparedUpdate*) noexcept {}
  void Undo(PreparedRemove*) noexcept {}
  void Undo(PreparedCreate* c) noexcept;
  void Undo(PreparedDrop* c) noexcept;
  // The change's journal record; false when it records nothing (a create
  // that found its path taken). Throws std::bad_alloc.
  bool Record(const PreparedInsert& c, RecordBuilder* r, uint64_t* weight) const;
  bool Record(const PreparedLoad& c, RecordBuilder* r, uint64_t* weight) const;
  bool Record(const PreparedUpdate& c, RecordBuilder* r, uint64_t* weight) const;
  bool Record(const PreparedRemove& c, RecordBuilder* r, uint64_t* weight) const;
  bool Record(const PreparedCreate& c, RecordBuilder* r, uint64_t* weight) const;
  bool Record(const PreparedDrop& c, RecordBuilder* r, uint64_t* weight) const;
  // The change in memory; cannot fail. `position` is the end of its
  // record in the journal (0 without one).
  void Apply(PreparedInsert* c, uint64_t position) noexcept;
  void Apply(PreparedLoad* c, uint64_t position) noexcept;
  void Apply(PreparedUpdate* c, uint64_t position) noexcept;
  void Apply(PreparedRemove* c, uint64_t position) noexcept;
  void Apply(PreparedCreate* c, uint64_t position) noexcept;
  void Apply(PreparedDrop* c, uint64_t position) noexcept;
  // Whether a change must be synced before it is applied (it made or moved
  // files, which going back to the state on disk would not undo).
  static bool SyncsFirst(const PreparedInsert& c) { return c.collection == nullptr; }
  static bool SyncsFirst(const PreparedLoad&) { return true; }
  static bool SyncsFirst(const PreparedUpdate&) { return false; }
  static bool SyncsFirst(const PreparedRemove&) { return false; }
  static bool SyncsFirst(const PreparedCreate&) { return true; }
  static bool SyncsFirst(const PreparedDrop&) { return true; }

  // An internal failure unless the map still holds `collection` (null:
  // nothing) under the name, with the stamp it was prepared with.
  Status Stale(const CollectionPtr& collection, std::string_view name, uint64_t stamp) const;

  // --- Inserting (db_insert.cc) ---
  Status PrepareInsert(std::string_view collection_name, std::vector<Value> docs,
                       PreparedInsert* out);
  // Makes the file of a new collection (holding []) and an entry for it in
  // the map, the collection in *made; or changes nothing (made->collection
  // stays null) when something is at the file path already, or appears
  // there meanwhile. Errors are the operating system's.
  Status MakeCollectionFile(std::string_view collection_name, NewCollection* made);
  // Takes back what MakeCollectionFile made.
  void UndoNewCollection(std::string_view collection_name, NewCollection* made) noexcept;
  // Puts the new collection in its map entry (and, with a journal, makes
  // its file now, as far as it can).
  void PlaceNewCollection(std::string_view collection_name, NewCollection* made) noexcept;
  // Makes the file of a collection a record made, holding [], as far as it
  // can.
  void MakeDeferredFile(NewCollection* made) const noexcept;

  // --- Writing (db_write.cc) ---
  // The collection write writes, or the error write gives for the name.
  Status ToWrite(std::string_view collection_name, CollectionPtr* out) const;
  // Replaces the collection's file through a temporary file, and notes the
  // version written.
  Status WriteCollectionFile(std::string_view collection_name, Collection& collection) const;

  // --- The journal (db_journal.cc) ---
  Status OpenJournal(CollectionMap* map);
  // Opens the journal file and reads the state into *map: alone (the first
  // object), or under a turn.
  Status JoinJournal(std::unique_ptr<JournalFile> file, CollectionMap* map);
  // The first reading of a record: where replay starts for the
  // collections it names (see db_journal.cc), and that it can be read.
  Status NoteRecord(uint64_t position, const uint8_t* data, size_t size, ReplayPlan* plan) const;
  // The state the files and the journal hold, into *map: files set aside by
  // drops dealt with, the collection files loaded, the records replayed.
  // `alone`: no other object has the journal open, and this one settles
  // what a crash left (files set aside, files not yet made).
  Status ReadState(ReplayPlan* plan, CollectionMap* map, bool alone) const;
  void RestoreAsides(const ReplayPlan& plan) const;
  // After replay: the files of collections that records made, where the
  // process died before it made them.
  void MakeMissingFiles(CollectionMap* map) const;
  Status ApplyRecord(uint64_t position, const uint8_t* data, size_t size, const ReplayPlan& plan,
                     ReplayContext* cx, CollectionMap* map) const;
  Status ReplayTarget(std::string_view name, uint64_t position, CollectionMap* map,
                      CollectionPtr* out) const;
  // A fold's record read live: notes the files another object put in place.
  Status NoteFold(uint64_t position, RecordReader* r, size_t size, CollectionMap* map) const;
  // A collection that a replayed record made, with its file: noted as read.
  void NoteFileMade(std::string_view name, Collection* c) const;
  Status ReplayUpdateAt(std::string_view name, uint64_t position, const ReplayPlan& plan,
                        RecordReader* r, ReplayContext* cx, CollectionMap* map) const;
  // Applies the updates ReplayUpdateAt gathered.
  Status FlushReplay(ReplayContext* cx) const;
  Status ReplayUpdate(std::string_view name, uint64_t position, const ReplayPlan& plan,
                      RecordReader* r, CollectionMap* map) const;
  Status ReplayRemove(std::string_view name, uint64_t position, const ReplayPlan& plan,
                      RecordReader* r, CollectionMap* map) const;
  // Goes back to the state the synced journal and the files hold.
  Status Recover();
  // Removes the files set aside by drops the journal holds; true when none
  // is left.
  bool RemoveAsides();
  // Appends a change's record under its turn, of `weight` (its size, or
  // what replaying it costs, if more); sets where it starts and ends.
  Status AppendRecord(JournalFile::Turn* turn, const RecordBuilder& r, uint64_t weight,
                      uint64_t* position, uint64_t* end);

  // --- Folding (db_fold.cc, fold.h) ---
  // A fold of the collections that changed since their files were written
  // (of `only` alone, when given), and with `missing_files` of those whose
  // file is gone or was changed by somebody else. Null when there is
  // nothing to write. Throws std::bad_alloc, pinning nothing.
  std::shared_ptr<Fold> PlanFold(const std::string_view* only, bool missing_files);
  // After a commit: starts a fold in the background when the journal has
  // grown past FoldBound().
  void StartFoldIfDue() noexcept;
  // Notes what a fold that ended did, and unpins its collections.
  Status FinishFold();
  void WaitForFold() const;
  // The journal's weight past which it is folded: in proportion to the
  // collection files, so that replaying it costs about what reading them
  // does.
  uint64_t FoldBound() const;

  std::string name_;
  Durability durability_;
  CollectionMap collections_;
  ResultCache cache_;
  std::unique_ptr<Journal> journal_;  // null without one
};

}  // namespace moxal

#endif  // MOXAL_DB_DATABASE_H_
