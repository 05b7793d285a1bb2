// The Moxal class: its instance, constructor and the fifteen method
// wrappers.
//
// Every wrapper does the same things: match the arguments to its method's
// signature (args.h), borrow the object (shared or exclusive, borrow.h),
// convert the arguments, call the Database operation without the
// interpreter lock, convert its result, and raise its Status as the
// exception it names, in one place (raise.cc). No C++ exception leaves a wrapper: running out of
// memory becomes MemoryError.

#include "python/methods.h"

#include <cxxabi.h>

#include <cassert>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "conversion/interpreter_lock.h"
#include "conversion/to_python.h"
#include "conversion/to_value.h"
#include "db/database.h"
#include "db/fold.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/find_page.h"
#include "python/module_state.h"
#include "python/moxal_object.h"
#include "python/raise.h"
#include "python/trace_output.h"
#include "storage/test_gate.h"
#include "storage/work_guard.h"

namespace moxal {

namespace {

// Runs `work`, which touches no Python object, without the interpreter
// lock (phase 2 of a call, see borrow.h, when `call_work`), then writes the
// trace lines it collected, also when it throws (the lines of the clauses
// built are written whatever happens to the call after).
//
// Pending signals are not looked at here: a call whose work made its change
// returns normally, and the interpreter runs the handlers (raising
// KeyboardInterrupt) right after it, as after any call; a call that changes
// nothing may look first (InterruptedBeforeResult).
template <class Work>
void Unlocked(bool call_work, Work&& work) {
  PyThreadState* state = ReleaseInterpreterLock();
  if (call_work) PassGate(Gate::kWork);
  // The lock is taken back outside any handler: a thread the interpreter
  // ends there is parked, which a handler of another exception forbids.
  std::exception_ptr failure;
  try {
    CollectedTraceFlush flush;  // after the guard is released: declared first
    WorkGuard guard;
    work();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  RetakeInterpreterLock(state);
  if (failure) std::rethrow_exception(failure);
}

// For a call that has changed nothing yet, after its work: true, with
// KeyboardInterrupt (or whatever a handler raised) set, when a signal came
// meanwhile; the call then ends before it builds its result.
bool InterruptedBeforeResult(Borrow* borrow) { return !borrow->pacer()->CheckSignals(); }

// Runs `convert(&error)` (a ToValue or ToValues into c->value), keeping a
// conversion error in c->error. False, with the exception set, when a
// signal handler raised one during the conversion: the call ends then,
// before its work.
// `name` is the argument's, for the note that says where in it the value
// that failed is.
template <class T, class Convert>
bool ConvertInto(Converted<T>* c, const char* name, Convert&& convert) {
  ConversionError e;
  if (convert(&e)) return true;
  if (e.interrupted()) {
    e.RaiseInterruption();
    return false;
  }
  c->error = e.ToStatus(name);
  return true;
}

// A dict (or list) argument as a document value in *c, as ConvertInto.
bool ConvertValue(ModuleState& state, Borrow* b, PyObject* o, const char* name, int max_depth,
                  Converted<Value>* c) {
  return ConvertInto(c, name, [&](ConversionError* e) {
    return ToValue(&state.conversion, o, max_depth, b->pacer(), &c->value, e);
  });
}

// A list argument as one document value per item, as ConvertInto.
bool ConvertItems(ModuleState& state, Borrow* b, PyObject* list, const char* name, int max_depth,
                  Converted<std::vector<Value>>* c) {
  return ConvertInto(c, name, [&](ConversionError* e) {
    return ToValues(&state.conversion, list, max_depth, b->pacer(), &c->value, e);
  });
}

// An optional query argument (left empty when left out or None), as
// ConvertValue.
bool ConvertQuery(ModuleState& state, Borrow* b, PyObject* o, const char* name,
                  std::optional<Converted<Value>>* c) {
  if (o == nullptr) return true;
  c->emplace();
  return ConvertValue(state, b, o, name, kMaxNesting, &**c);
}

const Converted<Value>* OrNull(const std::optional<Converted<Value>>& c) {
  return c ? &*c : nullptr;
}

// What one call works with, and what it leaves to do once it lets go of
// its object.
struct CallContext {
  Database& db;
  ModuleState& state;
  Borrow* borrow;
  // The journal position the call waits to be synced before it returns
  // (prepared.h): waited for without the borrow, so that other threads'
  // changes share the sync.
  uint64_t durable_at = 0;
  uint64_t durable_epoch = 0;

  // Phase 2: `work` without the interpreter lock, the object taken first
  // (after the conversions, waiting for other threads' calls). False, with
  // the exception set, when it could not be taken; `work` did not run.
  template <class Work>
  [[nodiscard]] bool Run(Work&& work) {
    if (!borrow->taken() && !borrow->Take()) return false;
    Unlocked(true, std::forward<Work>(work));
    return true;
  }
  PyObject* Raise(const Status& s) const { return moxal::Raise(state, s); }

  // A change with no result but None: prepared and committed in one step.
  template <class Prepared, class Prepare>
  PyObject* Change(Prepared* change, Prepare&& prepare) {
    Status s;
    if (!Run([&] {
          s = prepare();
          if (s.ok()) s = db.commit(change);
        })) {
      return nullptr;
    }
    durable_at = change->durable_at;
    durable_epoch = change->durable_epoch;
    if (!s.ok()) return Raise(s);
    Py_RETURN_NONE;
  }

  // A change whose result is built from what was prepared, before the
  // commit: `prepare` (without the lock), then, when no signal came, the
  // result (`result()`, a new reference or null with the exception set),
  // then `commit` (without the lock). A signal, an error or a result that
  // cannot be built ends the call with nothing changed.
  template <class Prepare, class Result, class Commit>
  PyObject* ChangeWithResult(Prepare&& prepare, Result&& result, Commit&& commit) {
    Status s;
    if (!Run([&] { s = prepare(); }) || InterruptedBeforeResult(borrow)) return nullptr;
    if (!s.ok()) return Raise(s);
    PyRef r = PyRef::Steal(result());
    if (!r) return nullptr;
    if (!Run([&] { s = commit(); })) return nullptr;  // taken already: runs
    if (!s.ok()) return Raise(s);
    return r.release();
  }

  // A read: `work` without the lock, then, when no signal came, its result.
  template <class Work, class Result>
  PyObject* Read(Work&& work, Result&& result) {
    Status s;
    if (!Run([&] { s = work(); }) || InterruptedBeforeResult(borrow)) return nullptr;
    if (!s.ok()) return Raise(s);
    return result();
  }

  bool Convert(PyObject* o, const char* name, int max_depth, Converted<Value>* c) {
    return ConvertValue(state, borrow, o, name, max_depth, c);
  }
  bool ConvertOptional(PyObject* o, const char* name, std::optional<Converted<Value>>* c) {
    return ConvertQuery(state, borrow, o, name, c);
  }
};

// Waits, with neither the object nor the interpreter lock, for the journal
// to be synced up to `position`; then returns `result` (a new reference, or
// null with the exception set), or, when the sync failed, drops it, takes
// the object again to go back to the state on disk (so the change is gone
// when the call returns), and raises the sync's OSError.
PyObject* AfterDurable(MoxalObject* self, const ModuleState& state, uint64_t position,
                       uint64_t epoch, PyObject* result) {
  Database& db = *self->db;
  PyThreadState* ts = ReleaseInterpreterLock();
  Status s = db.wait_durable(position, epoch);
  RetakeInterpreterLock(ts);
  if (s.ok()) return result;
  Py_XDECREF(result);
  PyErr_Clear();
  {
    Borrow borrow(self, Access::kExclusive);
    if (borrow.Enter() && borrow.Take()) {
      ts = ReleaseInterpreterLock();
      db.recover();
      RetakeInterpreterLock(ts);
    } else {
      PyErr_Clear();  // the next call goes back instead
    }
  }
  return Raise(state, s);
}

// Matches the arguments to `sig`, enters the object (borrow.h), converts
// the arguments into a `Fields` struct and runs `impl(cx, args)`, which
// converts its documents and takes the object for its work (CallContext::
// Run), turning C++ exceptions into Python ones; then, the borrow let go
// of, waits for what the call left to be synced.
template <class Fields, size_t N, class Impl>
PyObject* Call(PyObject* self_obj, const Signature<Fields, N>& sig, PyObject* const* argv,
               Py_ssize_t nargs, PyObject* kwnames, Access access, Impl&& impl) {
  auto* self = reinterpret_cast<MoxalObject*>(self_obj);
  ModuleState& state = *StateOfClass(Py_TYPE(self_obj));
  Matched<N> matched{};
  if (!MatchArgs(sig, argv, nargs, kwnames, &matched)) return nullptr;
  PyObject* result;
  uint64_t durable_at, durable_epoch;
  {
    Borrow borrow(self, access);
    if (!borrow.Enter()) return nullptr;
    Fields args{};
    if (!ConvertArgs(sig, matched, &args)) return nullptr;
    CallContext cx{*self->db, state, &borrow};
    try {
      result = impl(cx, args);
    } catch (const std::bad_alloc&) {
      result = PyErr_NoMemory();
    } catch (const std::exception& e) {
      result = Raise(state, Status::Internal(e.what()));
    }
    durable_at = cx.durable_at;
    durable_epoch = cx.durable_epoch;
  }
  if (durable_at == 0) return result;
  return AfterDurable(self, state, durable_at, durable_epoch, result);
}

// The parameters of every method: one struct of arguments per method, its
// fields named like the parameters, and one signature, which also gives
// the method's docstring.

struct NoArgs {};

struct NewArgs {
  std::string_view name;
  std::string_view journal;  // empty when left out: "off"
};
constexpr auto kNewSig = MakeSignature<NewArgs>("__new__", MOXAL_STR_PARAM(NewArgs, name),
                                                MOXAL_KWONLY_STR_PARAM(NewArgs, journal, "'off'"));

struct LoadFromDocumentArgs {
  std::string_view document_path;
};
constexpr auto kLoadFromDocumentSig = MakeSignature<LoadFromDocumentArgs>(
    "load_from_document", MOXAL_STR_PARAM(LoadFromDocumentArgs, document_path));

struct CollectionArgs {
  std::string_view collection_name;
};
constexpr auto kCreateCollectionSig = MakeSignature<CollectionArgs>(
    "create_collection", MOXAL_STR_PARAM(CollectionArgs, collection_name));
constexpr auto kDropCollectionSig = MakeSignature<CollectionArgs>(
    "drop_collection", MOXAL_STR_PARAM(CollectionArgs, collection_name));
constexpr auto kWriteSig =
    MakeSignature<CollectionArgs>("write", MOXAL_STR_PARAM(CollectionArgs, collection_name));

struct InsertArgs {
  std::string_view collection_name;
  PyObject* document;
};
constexpr auto kInsertSig = MakeSignature<InsertArgs>(
    "insert", MOXAL_STR_PARAM(InsertArgs, collection_name), MOXAL_DICT_PARAM(InsertArgs, document));

struct InsertManyArgs {
  std::string_view collection_name;
  PyObject* documents;
};
constexpr auto kInsertManySig =
    MakeSignature<InsertManyArgs>("insert_many", MOXAL_STR_PARAM(InsertManyArgs, collection_name),
                                  MOXAL_LIST_PARAM(InsertManyArgs, documents));

struct InsertManyFromDocumentArgs {
  std::string_view collection_name;
  std::string_view document_name;
};
constexpr auto kInsertManyFromDocumentSig = MakeSignature<InsertManyFromDocumentArgs>(
    "insert_many_from_document", MOXAL_STR_PARAM(InsertManyFromDocumentArgs, collection_name),
    MOXAL_STR_PARAM(InsertManyFromDocumentArgs, document_name));

struct FindArgs {
  std::string_view collection_name;
  PyObject* maybe_query;  // null when left out or None
  PyObject* sort;         // these three: null when left out (find_page.h)
  PyObject* limit;
  PyObject* skip;
};
constexpr auto kFindSig =
    MakeSignature<FindArgs>("find", MOXAL_STR_PARAM(FindArgs, collection_name),
                            MOXAL_DICT_OR_NONE_PARAM(FindArgs, maybe_query),
                            MOXAL_KWONLY_OBJECT_PARAM(FindArgs, sort, "None"),
                            MOXAL_KWONLY_OBJECT_PARAM(FindArgs, limit, "0"),
                            MOXAL_KWONLY_OBJECT_PARAM(FindArgs, skip, "0"));

struct CountArgs {
  std::string_view collection_name;
  PyObject* maybe_query;  // null when left out or None
};
constexpr auto kCountSig =
    MakeSignature<CountArgs>("count", MOXAL_STR_PARAM(CountArgs, collection_name),
                             MOXAL_DICT_OR_NONE_PARAM(CountArgs, maybe_query));

struct DeleteArgs {
  std::string_view collection_name;
  PyObject* query;
};
constexpr auto kDeleteSig = MakeSignature<DeleteArgs>(
    "delete", MOXAL_STR_PARAM(DeleteArgs, collection_name), MOXAL_DICT_PARAM(DeleteArgs, query));

struct UpdateArgs {
  std::string_view collection_name;
  PyObject* update_query;
  PyObject* maybe_query;  // null when left out or None
  bool return_result;
};
constexpr auto kUpdateSig = MakeSignature<UpdateArgs>(
    "update", MOXAL_STR_PARAM(UpdateArgs, collection_name),
    MOXAL_DICT_PARAM(UpdateArgs, update_query), MOXAL_DICT_OR_NONE_PARAM(UpdateArgs, maybe_query),
    MOXAL_BOOL_PARAM(UpdateArgs, return_result, false));

constexpr auto kCollectionsSig = MakeSignature<NoArgs>("collections");
constexpr auto kDropAllSig = MakeSignature<NoArgs>("drop_all");
constexpr auto kWriteAllSig = MakeSignature<NoArgs>("write_all");
constexpr auto kClearCacheSig = MakeSignature<NoArgs>("clear_cache");

// --- The methods' typed implementations ---

PyObject* load_from_document_impl(CallContext& cx, std::string_view document_path) {
  PreparedLoad change;
  return cx.Change(&change,
                   [&] { return cx.db.prepare_load_from_document(document_path, &change); });
}

PyObject* create_collection_impl(CallContext& cx, std::string_view collection_name) {
  PreparedCreate change;
  return cx.Change(&change,
                   [&] { return cx.db.prepare_create_collection(collection_name, &change); });
}

PyObject* drop_collection_impl(CallContext& cx, std::string_view collection_name) {
  PreparedDrop change;
  return cx.Change(&change,
                   [&] { return cx.db.prepare_drop_collection(collection_name, &change); });
}

PyObject* drop_all_impl(CallContext& cx) {
  PreparedDrop change;
  return cx.Change(&change, [&] { return cx.db.prepare_drop_all(&change); });
}

PyObject* insert_impl(CallContext& cx, std::string_view collection_name, PyObject* document) {
  Converted<Value> doc;
  if (!cx.Convert(document, "document", kMaxDocumentDepth, &doc)) return nullptr;
  PreparedInsert change;
  return cx.Change(&change,
                   [&] { return cx.db.prepare_insert(collection_name, std::move(doc), &change); });
}

PyObject* insert_many_impl(CallContext& cx, std::string_view collection_name, PyObject* documents) {
  // The list plays the part of the collection's array in the file.
  Converted<std::vector<Value>> docs;
  if (!ConvertItems(cx.state, cx.borrow, documents, "documents", kMaxNesting, &docs))
    return nullptr;
  PreparedInsert change;
  return cx.Change(&change, [&] {
    return cx.db.prepare_insert_many(collection_name, std::move(docs), &change);
  });
}

PyObject* insert_many_from_document_impl(CallContext& cx, std::string_view collection_name,
                                         std::string_view document_name) {
  PreparedInsert change;
  return cx.Change(&change, [&] {
    return cx.db.prepare_insert_many_from_document(collection_name, document_name, &change);
  });
}

PyObject* find_impl(CallContext& cx, std::string_view collection_name, PyObject* maybe_query,
                    const Page& page) {
  std::optional<Converted<Value>> query;
  if (!cx.ConvertOptional(maybe_query, "maybe_query", &query)) return nullptr;
  Found found;
  return cx.Read([&] { return cx.db.find(collection_name, OrNull(query), page, &found); },
                 [&]() -> PyObject* {
                   PyRef list =
                       PyRef::Steal(DocumentsToPython(&cx.state.conversion, found.docs->data(),
                                                      found.docs->size(), cx.borrow->pacer()));
                   // Filed only once the call has used it: a failed call
                   // leaves the cache as it was.
                   if (list) cx.db.cache_result(collection_name, &found);
                   return list.release();
                 });
}

PyObject* count_impl(CallContext& cx, std::string_view collection_name, PyObject* maybe_query) {
  std::optional<Converted<Value>> query;
  if (!cx.ConvertOptional(maybe_query, "maybe_query", &query)) return nullptr;
  size_t count = 0;
  return cx.Read([&] { return cx.db.count(collection_name, OrNull(query), &count); },
                 [&] { return PyLong_FromSize_t(count); });
}

PyObject* delete_impl(CallContext& cx, std::string_view collection_name, PyObject* query_arg) {
  Converted<Value> query;
  if (!cx.Convert(query_arg, "query", kMaxNesting, &query)) return nullptr;
  PreparedRemove change;
  // The documents go only once the count exists.
  PyObject* result =
      cx.ChangeWithResult([&] { return cx.db.prepare_remove(collection_name, query, &change); },
                          [&] { return PyLong_FromSize_t(change.positions.size()); },
                          [&] { return cx.db.commit(&change); });
  cx.durable_at = change.durable_at;
  cx.durable_epoch = change.durable_epoch;
  return result;
}

PyObject* update_impl(CallContext& cx, std::string_view collection_name, PyObject* update_query,
                      PyObject* maybe_query, bool return_result) {
  Converted<Value> changes;
  std::optional<Converted<Value>> filter;
  if (!cx.Convert(update_query, "update_query", kMaxNesting, &changes) ||
      !cx.ConvertOptional(maybe_query, "maybe_query", &filter)) {
    return nullptr;
  }
  PreparedUpdate change;
  TraceCollector trace;
  auto prepare = [&] {
    return cx.db.prepare_update(collection_name, changes, OrNull(filter), &change, CollectTrace);
  };
  if (!return_result) return cx.Change(&change, prepare);
  // The returned list holds every document as the update leaves it, built
  // before the collection changes.
  std::vector<Value> after;
  PyObject* result = cx.ChangeWithResult(
      [&] {
        Status s = prepare();
        if (s.ok()) after = change.After();
        return s;
      },
      [&] {
        return DocumentsToPython(&cx.state.conversion, after.data(), after.size(),
                                 cx.borrow->pacer());
      },
      [&] {
        // Without the lock: the commit frees the documents it replaces,
        // and the copies go too, which takes long for a large collection.
        Status s = cx.db.commit(&change);
        std::vector<Value>().swap(after);
        return s;
      });
  cx.durable_at = change.durable_at;
  cx.durable_epoch = change.durable_epoch;
  return result;
}

PyObject* collections_impl(CallContext& cx) {
  std::vector<std::string> names;
  return cx.Read([&] { return cx.db.collections(&names); }, [&] { return StringsToPython(names); });
}

PyObject* clear_cache_impl(CallContext& cx) {
  Status s;
  if (!cx.Run([&] { s = cx.db.clear_cache(); })) return nullptr;
  if (!s.ok()) return cx.Raise(s);
  Py_RETURN_NONE;
}

// The paths of the collection files that write (of `collection_name`), or
// write_all (when null), would replace although somebody else wrote them
// since (a list of str), or null with the exception write raises.
// With the journal, finding the changed files first applies the records
// other objects appended (which notes the files their folds wrote): a
// change, for which the borrow is exclusive.
Access ChangedFilesAccess(PyObject* self) {
  return reinterpret_cast<MoxalObject*>(self)->db->journal_file() != nullptr ? Access::kExclusive
                                                                             : Access::kShared;
}

PyObject* changed_files_impl(CallContext& cx, const std::string_view* collection_name) {
  std::vector<std::string> paths;
  return cx.Read([&] { return cx.db.changed_files(collection_name, &paths); },
                 [&] { return StringsToPython(paths); });
}

#define MOXAL_VECTORCALL(fn) \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
#define MOXAL_NOARGS(fn) PyObject* fn(PyObject* self, PyObject* /*unused*/)

// --- The wrappers: arguments matched, then the implementation ---

MOXAL_VECTORCALL(LoadFromDocument) {
  return Call(self, kLoadFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const LoadFromDocumentArgs& a) {
                return load_from_document_impl(cx, a.document_path);
              });
}

MOXAL_VECTORCALL(CreateCollection) {
  return Call(self, kCreateCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const CollectionArgs& a) {
                return create_collection_impl(cx, a.collection_name);
              });
}

MOXAL_VECTORCALL(DropCollection) {
  return Call(self, kDropCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const CollectionArgs& a) {
                return drop_collection_impl(cx, a.collection_name);
              });
}

MOXAL_VECTORCALL(Insert) {
  return Call(self, kInsertSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const InsertArgs& a) {
                return insert_impl(cx, a.collection_name, a.document);
              });
}

MOXAL_VECTORCALL(InsertMany) {
  return Call(self, kInsertManySig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const InsertManyArgs& a) {
                return insert_many_impl(cx, a.collection_name, a.documents);
              });
}

MOXAL_VECTORCALL(InsertManyFromDocument) {
  return Call(self, kInsertManyFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const InsertManyFromDocumentArgs& a) {
                return insert_many_from_document_impl(cx, a.collection_name, a.document_name);
              });
}

MOXAL_VECTORCALL(Find) {
  return Call(self, kFindSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const FindArgs& a) -> PyObject* {
                Page page;
                if (!ConvertPage(a.sort, a.limit, a.skip, &page)) return nullptr;
                return find_impl(cx, a.collection_name, a.maybe_query, page);
              });
}

MOXAL_VECTORCALL(Count) {
  return Call(self, kCountSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const CountArgs& a) {
                return count_impl(cx, a.collection_name, a.maybe_query);
              });
}

MOXAL_VECTORCALL(Delete) {
  return Call(self, kDeleteSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const DeleteArgs& a) {
                return delete_impl(cx, a.collection_name, a.query);
              });
}

MOXAL_VECTORCALL(Update) {
  return Call(self, kUpdateSig, args, nargs, kwnames, Access::kExclusive,
              [](CallContext& cx, const UpdateArgs& a) {
                return update_impl(cx, a.collection_name, a.update_query, a.maybe_query,
                                   a.return_result);
              });
}

MOXAL_NOARGS(Collections) {
  return Call(self, kCollectionsSig, nullptr, 0, nullptr, Access::kShared,
              [](CallContext& cx, const NoArgs&) { return collections_impl(cx); });
}

MOXAL_NOARGS(DropAll) {
  return Call(self, kDropAllSig, nullptr, 0, nullptr, Access::kExclusive,
              [](CallContext& cx, const NoArgs&) { return drop_all_impl(cx); });
}

MOXAL_NOARGS(ClearCache) {
  return Call(self, kClearCacheSig, nullptr, 0, nullptr, Access::kExclusive,
              [](CallContext& cx, const NoArgs&) { return clear_cache_impl(cx); });
}

// Writes with the journal: its fold (fold.h) planned under the borrow,
// run without it (other calls go on meanwhile), and finished under it.
// A fold that runs in the background is waited for first.
template <class Fields, size_t N, class Name>
PyObject* WriteThroughFold(PyObject* self, const Signature<Fields, N>& sig, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Name&& name) {
  Database& db = *reinterpret_cast<MoxalObject*>(self)->db;
  std::shared_ptr<Fold> fold;
  for (;;) {
    bool busy = false;
    PyRef none =
        PyRef::Steal(Call(self, sig, args, nargs, kwnames, Access::kExclusive,
                          [&](CallContext& cx, const Fields& a) -> PyObject* {
                            Status s;
                            if (!cx.Run([&] { s = db.plan_write(name(a), &fold, &busy); })) {
                              return nullptr;
                            }
                            if (!s.ok()) return cx.Raise(s);
                            Py_RETURN_NONE;
                          }));
    if (!none) return nullptr;
    if (fold == nullptr && !busy) Py_RETURN_NONE;  // nothing to write
    PyThreadState* ts = ReleaseInterpreterLock();
    if (!busy) {
      fold->Run(db.journal_file());
    } else if (fold != nullptr) {
      fold->Wait();  // this object's, in the background
    } else {
      db.wait_for_other_fold();
    }
    RetakeInterpreterLock(ts);
    if (!busy) break;
    fold = nullptr;
  }
  return Call(self, sig, args, nargs, kwnames, Access::kExclusive,
              [&](CallContext& cx, const Fields&) -> PyObject* {
                Status s;
                if (!cx.Run([&] { s = db.finish_write(fold); })) return nullptr;
                if (!s.ok()) return cx.Raise(s);
                Py_RETURN_NONE;
              });
}

MOXAL_VECTORCALL(Write) {
  PyRef changed = PyRef::Steal(Call(self, kWriteSig, args, nargs, kwnames, ChangedFilesAccess(self),
                                    [](CallContext& cx, const CollectionArgs& a) {
                                      return changed_files_impl(cx, &a.collection_name);
                                    }));
  if (!changed || !WarnOfChangedFiles(*StateOfClass(Py_TYPE(self)), changed.get())) return nullptr;
  if (reinterpret_cast<MoxalObject*>(self)->db->journal_file() != nullptr) {
    return WriteThroughFold(self, kWriteSig, args, nargs, kwnames,
                            [](const CollectionArgs& a) { return &a.collection_name; });
  }
  return Call(self, kWriteSig, args, nargs, kwnames, Access::kShared,
              [](CallContext& cx, const CollectionArgs& a) -> PyObject* {
                Status s;
                if (!cx.Run([&] { s = cx.db.write(a.collection_name); })) return nullptr;
                if (!s.ok()) return cx.Raise(s);
                Py_RETURN_NONE;
              });
}

MOXAL_NOARGS(WriteAll) {
  PyRef changed = PyRef::Steal(
      Call(self, kWriteAllSig, nullptr, 0, nullptr, ChangedFilesAccess(self),
           [](CallContext& cx, const NoArgs&) { return changed_files_impl(cx, nullptr); }));
  if (!changed || !WarnOfChangedFiles(*StateOfClass(Py_TYPE(self)), changed.get())) return nullptr;
  if (reinterpret_cast<MoxalObject*>(self)->db->journal_file() != nullptr) {
    return WriteThroughFold(self, kWriteAllSig, nullptr, 0, nullptr,
                            [](const NoArgs&) -> const std::string_view* { return nullptr; });
  }
  return Call(self, kWriteAllSig, nullptr, 0, nullptr, Access::kShared,
              [](CallContext& cx, const NoArgs&) -> PyObject* {
                Status s;
                if (!cx.Run([&] { s = cx.db.write_all(); })) return nullptr;
                if (!s.ok()) return cx.Raise(s);
                Py_RETURN_NONE;
              });
}

// The durability the constructor's `journal` argument names; false with
// ValueError set for any other text.
bool ParseJournal(std::string_view text, Durability* out) {
  if (text.empty() || text == "off") {
    *out = Durability::kOff;
  } else if (text == "process") {
    *out = Durability::kProcess;
  } else if (text == "always") {
    *out = Durability::kAlways;
  } else {
    std::string given(text);
    PyErr_Format(PyExc_ValueError, "journal must be 'off', 'process' or 'always', not '%s'",
                 given.c_str());
    return false;
  }
  return true;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModuleState& state = *StateOfClass(type);
  Matched<2> matched{};
  NewArgs a;
  Durability durability;
  if (!MatchArgs(kNewSig, args, kwargs, &matched) || !ConvertArgs(kNewSig, matched, &a) ||
      !ParseJournal(a.journal, &durability)) {
    return nullptr;
  }
  try {
    auto db = std::make_unique<Database>(std::string(a.name), durability);
    Status s;
    Unlocked(false, [&] { s = db->open(); });
    // Nothing is changed by opening (but a directory made): Ctrl-C may end it.
    if (!CheckSignals()) return nullptr;
    if (!s.ok()) return Raise(state, s);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;  // the database is dropped with `db`
    auto* self = reinterpret_cast<MoxalObject*>(obj);
    self->db = db.release();
    RegisterInstance(self);
    return obj;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return Raise(state, Status::Internal(e.what()));
  }
}

void Dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<MoxalObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  UnregisterInstance(self);
  if (self->db != nullptr && self->db->journal_file() != nullptr) {
    // A fold running in the background is waited for, and the journal
    // synced, without holding up other threads.
    PyThreadState* ts = ReleaseInterpreterLock();
    self->db->close();
    RetakeInterpreterLock(ts);
  }
  delete self->db;  // no collection file is written
  type->tp_free(obj);
  Py_DECREF(type);
}

#define MOXAL_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int kVector = METH_FASTCALL | METH_KEYWORDS;

// A method's entry: its name and docstring come from its signature.
#define MOXAL_METHOD(sig, fn, flags) {sig.method, fn, flags, kMethodDoc<sig>.data()}

PyMethodDef kMethods[] = {
    MOXAL_METHOD(kLoadFromDocumentSig, MOXAL_FASTCALL(LoadFromDocument), kVector),
    MOXAL_METHOD(kCreateCollectionSig, MOXAL_FASTCALL(CreateCollection), kVector),
    MOXAL_METHOD(kInsertSig, MOXAL_FASTCALL(Insert), kVector),
    MOXAL_METHOD(kInsertManySig, MOXAL_FASTCALL(InsertMany), kVector),
    MOXAL_METHOD(kInsertManyFromDocumentSig, MOXAL_FASTCALL(InsertManyFromDocument), kVector),
    MOXAL_METHOD(kFindSig, MOXAL_FASTCALL(Find), kVector),
    MOXAL_METHOD(kCountSig, MOXAL_FASTCALL(Count), kVector),
    MOXAL_METHOD(kUpdateSig, MOXAL_FASTCALL(Update), kVector),
    MOXAL_METHOD(kDeleteSig, MOXAL_FASTCALL(Delete), kVector),
    MOXAL_METHOD(kCollectionsSig, Collections, METH_NOARGS),
    MOXAL_METHOD(kDropCollectionSig, MOXAL_FASTCALL(DropCollection), kVector),
    MOXAL_METHOD(kDropAllSig, DropAll, METH_NOARGS),
    MOXAL_METHOD(kWriteSig, MOXAL_FASTCALL(Write), kVector),
    MOXAL_METHOD(kWriteAllSig, WriteAll, METH_NOARGS),
    MOXAL_METHOD(kClearCacheSig, ClearCache, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    // Only the signature "(name)": the class has no docstring.
    {Py_tp_doc, const_cast<char*>(kClassDoc<kNewSig>.data())},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// The module part of the name gives the class's __module__. A name without
// one would give "builtins" too, but the interpreter warns of such a class
// with a DeprecationWarning ("builtin type Moxal has no __module__
// attribute") at every import.
PyType_Spec kSpec = {
    "builtins.Moxal",
    sizeof(MoxalObject),
    0,
    Py_TPFLAGS_DEFAULT,  // not a base type: subclassing is refused
    kSlots,
};

}  // namespace

PyObject* NewMoxalType(PyObject* module) {
  PyRef type = PyRef::Steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
  if (!type) return nullptr;
  // The class is named plainly "Moxal" in messages and reprs too, like a
  // built-in type, not "builtins.Moxal": assigning __name__ (the same name
  // again) makes the type's own setter base the C-level name on it.
  PyRef name = PyRef::Steal(PyObject_GetAttrString(type.get(), "__name__"));
  if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return nullptr;
  // The signature is all the class documentation there is: __doc__ is None,
  // not the empty rest of the text.
  if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
  assert(std::string_view(reinterpret_cast<PyTypeObject*>(type.get())->tp_name) == kClassName);
  return type.release();
}

}  // namespace moxal
