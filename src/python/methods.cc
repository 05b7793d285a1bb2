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
#include "python/args.h"
#include "python/borrow.h"
#include "python/module_state.h"
#include "python/moxal_object.h"
#include "python/raise.h"
#include "python/trace_output.h"
#include "storage/work_guard.h"

namespace moxal {

namespace {

// Phase 2 of a call (see borrow.h): runs `work`, which touches no Python
// object, without the interpreter lock, then writes the trace lines it
// collected, also when it throws (the lines of the clauses built are
// written whatever happens to the call after).
//
// Pending signals are not looked at here: a call whose work made its change
// returns normally, and the interpreter runs the handlers (raising
// KeyboardInterrupt) right after it, as after any call; a call that changes
// nothing may look first (InterruptedBeforeResult).
template <class Work>
void Unlocked(Borrow* borrow, Work&& work) {
  if (borrow != nullptr) borrow->MarkWaitable();
  PyThreadState* state = ReleaseInterpreterLock();
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
template <class T, class Convert>
bool ConvertInto(Converted<T>* c, Convert&& convert) {
  ConversionError e;
  if (convert(&e)) return true;
  if (e.interrupted()) {
    e.RaiseInterruption();
    return false;
  }
  c->error = e.ToStatus();
  return true;
}

// A dict (or list) argument as a document value in *c, as ConvertInto.
bool ConvertValue(ModuleState& state, Borrow* b, PyObject* o, int max_depth, Converted<Value>* c) {
  return ConvertInto(c, [&](ConversionError* e) {
    return ToValue(&state.conversion, o, max_depth, b->pacer(), &c->value, e);
  });
}

// A list argument as one document value per item, as ConvertInto.
bool ConvertItems(ModuleState& state, Borrow* b, PyObject* list, int max_depth,
                  Converted<std::vector<Value>>* c) {
  return ConvertInto(c, [&](ConversionError* e) {
    return ToValues(&state.conversion, list, max_depth, b->pacer(), &c->value, e);
  });
}

// An optional query argument (left empty when left out or None), as
// ConvertValue.
bool ConvertQuery(ModuleState& state, Borrow* b, PyObject* o, std::optional<Converted<Value>>* c) {
  if (o == nullptr) return true;
  c->emplace();
  return ConvertValue(state, b, o, kMaxNesting, &**c);
}

const Converted<Value>* OrNull(const std::optional<Converted<Value>>& c) {
  return c ? &*c : nullptr;
}

// Runs `op(db, state, args, borrow)` with the arguments matched to `sig`
// and converted into a `Fields` struct, inside the borrow, turning C++
// exceptions into Python ones.
template <class Fields, size_t N, class Op>
PyObject* Call(PyObject* self_obj, const Signature<Fields, N>& sig, PyObject* const* argv,
               Py_ssize_t nargs, PyObject* kwnames, Access access, Op&& op) {
  auto* self = reinterpret_cast<MoxalObject*>(self_obj);
  ModuleState& state = *StateOfClass(Py_TYPE(self_obj));
  Matched<N> matched{};
  if (!MatchArgs(sig, argv, nargs, kwnames, &matched)) return nullptr;
  Borrow borrow(self, access);
  if (!borrow.Take()) return nullptr;
  Fields args{};
  if (!ConvertArgs(sig, matched, &args)) return nullptr;
  try {
    return op(*self->db, state, args, &borrow);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return Raise(state, Status::Internal(e.what()));
  }
}

// The common shape of a method without a Python result: convert (done by
// the caller), run `work` without the interpreter lock, raise its Status.
template <class Work>
PyObject* RunToStatus(const ModuleState& state, Borrow* borrow, Work&& work) {
  Status s;
  Unlocked(borrow, [&] { s = work(); });
  if (!s.ok()) return Raise(state, s);
  Py_RETURN_NONE;
}

// The parameters of every method: one struct of arguments per method, its
// fields named like the parameters, and one signature, which also gives
// the method's docstring.

struct NoArgs {};

struct NewArgs {
  std::string_view name;
};
constexpr auto kNewSig = MakeSignature<NewArgs>("__new__", MOXAL_STR_PARAM(NewArgs, name));

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
};
constexpr auto kFindSig =
    MakeSignature<FindArgs>("find", MOXAL_STR_PARAM(FindArgs, collection_name),
                            MOXAL_DICT_OR_NONE_PARAM(FindArgs, maybe_query));
constexpr auto kCountSig =
    MakeSignature<FindArgs>("count", MOXAL_STR_PARAM(FindArgs, collection_name),
                            MOXAL_DICT_OR_NONE_PARAM(FindArgs, maybe_query));

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

#define MOXAL_VECTORCALL(fn) \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

MOXAL_VECTORCALL(LoadFromDocument) {
  return Call(self, kLoadFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const LoadFromDocumentArgs& a, Borrow* b) {
                return RunToStatus(state, b,
                                   [&] { return db.load_from_document(a.document_path); });
              });
}

MOXAL_VECTORCALL(CreateCollection) {
  return Call(self, kCreateCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const CollectionArgs& a, Borrow* b) {
                return RunToStatus(state, b,
                                   [&] { return db.create_collection(a.collection_name); });
              });
}

MOXAL_VECTORCALL(Insert) {
  return Call(self, kInsertSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const InsertArgs& a, Borrow* b) -> PyObject* {
                Converted<Value> doc;
                if (!ConvertValue(state, b, a.document, kMaxDocumentDepth, &doc)) return nullptr;
                return RunToStatus(state, b,
                                   [&] { return db.insert(a.collection_name, std::move(doc)); });
              });
}

MOXAL_VECTORCALL(InsertMany) {
  return Call(
      self, kInsertManySig, args, nargs, kwnames, Access::kExclusive,
      [](Database& db, ModuleState& state, const InsertManyArgs& a, Borrow* b) -> PyObject* {
        // The list plays the part of the collection's array in the file.
        Converted<std::vector<Value>> docs;
        if (!ConvertItems(state, b, a.documents, kMaxNesting, &docs)) return nullptr;
        return RunToStatus(state, b,
                           [&] { return db.insert_many(a.collection_name, std::move(docs)); });
      });
}

MOXAL_VECTORCALL(InsertManyFromDocument) {
  return Call(self, kInsertManyFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const InsertManyFromDocumentArgs& a, Borrow* b) {
                return RunToStatus(state, b, [&] {
                  return db.insert_many_from_document(a.collection_name, a.document_name);
                });
              });
}

MOXAL_VECTORCALL(Find) {
  return Call(self, kFindSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const FindArgs& a, Borrow* b) -> PyObject* {
                std::optional<Converted<Value>> query;
                if (!ConvertQuery(state, b, a.maybe_query, &query)) return nullptr;
                Found found;
                Status s;
                Unlocked(b, [&] { s = db.find(a.collection_name, OrNull(query), &found); });
                if (InterruptedBeforeResult(b)) return nullptr;
                if (!s.ok()) return Raise(state, s);
                PyRef list = PyRef::Steal(DocumentsToPython(&state.conversion, found.docs->data(),
                                                            found.docs->size(), b->pacer()));
                if (list) db.CacheResult(a.collection_name, &found);
                return list.release();
              });
}

MOXAL_VECTORCALL(Count) {
  return Call(self, kCountSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const FindArgs& a, Borrow* b) -> PyObject* {
                std::optional<Converted<Value>> query;
                if (!ConvertQuery(state, b, a.maybe_query, &query)) return nullptr;
                size_t count = 0;
                Status s;
                Unlocked(b, [&] { s = db.count(a.collection_name, OrNull(query), &count); });
                if (InterruptedBeforeResult(b)) return nullptr;
                if (!s.ok()) return Raise(state, s);
                return PyLong_FromSize_t(count);
              });
}

MOXAL_VECTORCALL(Delete) {
  return Call(self, kDeleteSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const DeleteArgs& a, Borrow* b) -> PyObject* {
                Converted<Value> query;
                if (!ConvertValue(state, b, a.query, kMaxNesting, &query)) return nullptr;
                PreparedRemove prepared;
                Status s;
                Unlocked(b, [&] { s = db.remove(a.collection_name, query, &prepared); });
                if (!s.ok()) return Raise(state, s);
                // The documents go only once the result exists; a signal that
                // came before that ends the call with nothing removed.
                if (InterruptedBeforeResult(b)) return nullptr;
                PyRef count = PyRef::Steal(PyLong_FromSize_t(prepared.positions.size()));
                if (!count) return nullptr;
                Unlocked(b, [&] { db.CommitRemove(&prepared); });
                return count.release();
              });
}

MOXAL_VECTORCALL(Update) {
  return Call(self, kUpdateSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const UpdateArgs& a, Borrow* b) -> PyObject* {
                Converted<Value> changes;
                std::optional<Converted<Value>> filter;
                if (!ConvertValue(state, b, a.update_query, kMaxNesting, &changes) ||
                    !ConvertQuery(state, b, a.maybe_query, &filter)) {
                  return nullptr;
                }
                bool return_result = a.return_result;
                PreparedUpdate prepared;
                std::vector<Value> after;
                TraceCollector trace;
                Status s;
                Unlocked(b, [&] {
                  s = db.update(a.collection_name, changes, OrNull(filter), &prepared,
                                CollectTrace);
                  if (!s.ok()) return;
                  if (return_result) {
                    after = prepared.After();
                  } else {
                    db.CommitUpdate(&prepared);
                  }
                });
                if (!s.ok()) return Raise(state, s);
                if (!return_result) Py_RETURN_NONE;
                // The collection changes only once its returned list is built.
                if (InterruptedBeforeResult(b)) return nullptr;
                PyObject* list =
                    DocumentsToPython(&state.conversion, after.data(), after.size(), b->pacer());
                if (list == nullptr) return nullptr;
                // Without the lock: the commit frees the documents it replaces,
                // and the copies go too, which takes long for a large collection.
                Unlocked(b, [&] {
                  db.CommitUpdate(&prepared);
                  std::vector<Value>().swap(after);
                  prepared = PreparedUpdate();
                });
                return list;
              });
}

MOXAL_VECTORCALL(DropCollection) {
  return Call(self, kDropCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, ModuleState& state, const CollectionArgs& a, Borrow* b) {
                return RunToStatus(state, b, [&] { return db.drop_collection(a.collection_name); });
              });
}

// The paths of the collection files that write (of `collection_name`, or
// write_all when null) would replace although somebody else wrote them
// since (a list of str), or null with the exception write raises.
PyObject* ChangedFiles(Database& db, ModuleState& state, const std::string_view* collection_name,
                       Borrow* b) {
  std::vector<std::string> paths;
  Status s;
  Unlocked(b, [&] { s = db.ChangedFiles(collection_name, &paths); });
  if (InterruptedBeforeResult(b)) return nullptr;
  if (!s.ok()) return Raise(state, s);
  return StringsToPython(paths);
}

// Runs `check` (a call of ChangedFiles, borrowing the object) and gives the
// warnings of the files it returns, with no borrow held: a warning may run
// the program's code (a filter that makes it an error, a handler that logs
// it), which may call the object. False with the exception set when the
// check failed or a warning became an error: then nothing is written.
template <class Check>
bool WarnBeforeWriting(PyObject* self, Check&& check) {
  PyRef paths = PyRef::Steal(check());
  return paths && WarnOfChangedFiles(*StateOfClass(Py_TYPE(self)), paths.get());
}

MOXAL_VECTORCALL(Write) {
  if (!WarnBeforeWriting(self, [&] {
        return Call(self, kWriteSig, args, nargs, kwnames, Access::kShared,
                    [](Database& db, ModuleState& state, const CollectionArgs& a, Borrow* b) {
                      return ChangedFiles(db, state, &a.collection_name, b);
                    });
      })) {
    return nullptr;
  }
  return Call(self, kWriteSig, args, nargs, kwnames, Access::kShared,
              [](Database& db, ModuleState& state, const CollectionArgs& a, Borrow* b) {
                return RunToStatus(state, b, [&] { return db.write(a.collection_name); });
              });
}

#define MOXAL_NOARGS(fn) PyObject* fn(PyObject* self, PyObject* /*unused*/)

MOXAL_NOARGS(Collections) {
  return Call(self, kCollectionsSig, nullptr, 0, nullptr, Access::kShared,
              [](Database& db, ModuleState& state, const NoArgs&, Borrow* b) -> PyObject* {
                std::vector<std::string> names;
                Status s;
                Unlocked(b, [&] { s = db.collections(&names); });
                if (InterruptedBeforeResult(b)) return nullptr;
                if (!s.ok()) return Raise(state, s);
                return StringsToPython(names);
              });
}

MOXAL_NOARGS(DropAll) {
  return Call(self, kDropAllSig, nullptr, 0, nullptr, Access::kExclusive,
              [](Database& db, ModuleState& state, const NoArgs&, Borrow* b) {
                return RunToStatus(state, b, [&] { return db.drop_all(); });
              });
}

MOXAL_NOARGS(WriteAll) {
  if (!WarnBeforeWriting(self, [&] {
        return Call(self, kWriteAllSig, nullptr, 0, nullptr, Access::kShared,
                    [](Database& db, ModuleState& state, const NoArgs&, Borrow* b) {
                      return ChangedFiles(db, state, nullptr, b);
                    });
      })) {
    return nullptr;
  }
  return Call(self, kWriteAllSig, nullptr, 0, nullptr, Access::kShared,
              [](Database& db, ModuleState& state, const NoArgs&, Borrow* b) {
                return RunToStatus(state, b, [&] { return db.write_all(); });
              });
}

MOXAL_NOARGS(ClearCache) {
  return Call(self, kClearCacheSig, nullptr, 0, nullptr, Access::kExclusive,
              [](Database& db, ModuleState& state, const NoArgs&, Borrow* b) {
                return RunToStatus(state, b, [&] { return db.clear_cache(); });
              });
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModuleState& state = *StateOfClass(type);
  Matched<1> matched{};
  NewArgs a;
  if (!MatchArgs(kNewSig, args, kwargs, &matched) || !ConvertArgs(kNewSig, matched, &a)) {
    return nullptr;
  }
  try {
    auto db = std::make_unique<Database>(std::string(a.name));
    Status s;
    Unlocked(nullptr, [&] { s = db->open(); });
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
  delete self->db;  // nothing is written to disk
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
