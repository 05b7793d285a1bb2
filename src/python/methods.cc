// The Moxal class: its instance, constructor and the thirteen method
// wrappers.
//
// Every wrapper does the same things: match the arguments to its table
// entry, borrow the object (shared or exclusive, borrow.h), convert the
// arguments, call the Database operation without the interpreter lock,
// convert its result, and raise its Status as the exception it names, in
// one place (raise.cc). No C++ exception leaves a wrapper: running out of
// memory becomes MemoryError.

#include "python/methods.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "conversion/to_python.h"
#include "conversion/to_value.h"
#include "python/args.h"
#include "python/borrow.h"
#include "db/database.h"
#include "python/moxal_object.h"
#include "python/raise.h"
#include "python/trace_output.h"
#include "storage/work_guard.h"

namespace moxal {

namespace {

PyObject* Done(const Status& s) {
  if (!s.ok()) return Raise(s);
  Py_RETURN_NONE;
}

// Releases the interpreter lock for as long as a scope lasts.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Phase 2 of a call (see borrow.h): runs `work`, which touches no Python
// object, without the interpreter lock, then writes the trace lines it
// collected, also when it throws (the lines of the clauses built are
// written whatever happens to the call after). False, with
// KeyboardInterrupt (or whatever a signal handler raised) set, when a
// signal arrived meanwhile: the call then ends before it converts anything.
template <class Work>
bool Unlocked(Borrow* borrow, Work&& work) {
  if (borrow != nullptr) borrow->MarkWaitable();
  {
    InterpreterLockReleased released;
    CollectedTraceFlush flush;  // after the guard is released: declared first
    WorkGuard guard;
    work();
  }
  return PyErr_CheckSignals() == 0;
}

// A dict (or list) argument as a document value, or the conversion's error.
Converted<Value> ConvertValue(PyObject* o, int max_depth) {
  Converted<Value> c;
  ConversionError e;
  if (!ToValue(o, max_depth, &c.value, &e)) c.error = e.ToStatus();
  return c;
}

// A list argument as one document value per item.
Converted<std::vector<Value>> ConvertItems(PyObject* list, int max_depth) {
  Converted<std::vector<Value>> c;
  ConversionError e;
  if (!ToValues(list, max_depth, &c.value, &e)) c.error = e.ToStatus();
  return c;
}

// An optional query argument (null when left out or None).
std::optional<Converted<Value>> ConvertQuery(PyObject* o) {
  if (o == nullptr) return std::nullopt;
  return ConvertValue(o, kMaxNesting);
}

const Converted<Value>* OrNull(const std::optional<Converted<Value>>& c) {
  return c ? &*c : nullptr;
}

// Runs `op(db, args, borrow)` inside the borrow, turning C++ exceptions
// into Python ones.
template <class Op>
PyObject* Call(PyObject* self_obj, const MethodSig* sig, PyObject* const* argv,
               Py_ssize_t nargs, PyObject* kwnames, Access access, Op&& op) {
  auto* self = reinterpret_cast<MoxalObject*>(self_obj);
  Args args;
  if (sig != nullptr && !MatchArgs(*sig, argv, nargs, kwnames, &args)) return nullptr;
  Borrow borrow(self, access);
  if (!borrow.Take()) return nullptr;
  if (sig != nullptr && !ConvertArgs(*sig, &args)) return nullptr;
  try {
    return op(*self->db, args, &borrow);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return Raise(Status::Internal(e.what()));
  }
}

// The common shape of a method without a Python result: convert (done by
// the caller), run `work` without the interpreter lock, raise its Status.
template <class Work>
PyObject* RunToStatus(Borrow* borrow, Work&& work) {
  Status s;
  if (!Unlocked(borrow, [&] { s = work(); })) return nullptr;
  return Done(s);
}

constexpr Param kCollectionName{"collection_name", ParamType::kStr};

constexpr MethodSig kNewSig{"Moxal.__new__()", 1, 1, {{"name", ParamType::kStr}}};
constexpr MethodSig kLoadFromDocumentSig{
    "Moxal.load_from_document()", 1, 1, {{"document_path", ParamType::kStr}}};
constexpr MethodSig kCreateCollectionSig{"Moxal.create_collection()", 1, 1, {kCollectionName}};
constexpr MethodSig kInsertSig{
    "Moxal.insert()", 2, 2, {kCollectionName, {"document", ParamType::kDict}}};
constexpr MethodSig kInsertManySig{
    "Moxal.insert_many()", 2, 2, {kCollectionName, {"documents", ParamType::kList}}};
constexpr MethodSig kInsertManyFromDocumentSig{
    "Moxal.insert_many_from_document()", 2, 2,
    {kCollectionName, {"document_name", ParamType::kStr}}};
constexpr MethodSig kFindSig{
    "Moxal.find()", 1, 2, {kCollectionName, {"maybe_query", ParamType::kDictOrNone}}};
constexpr MethodSig kUpdateSig{"Moxal.update()",
                               2,
                               4,
                               {kCollectionName,
                                {"update_query", ParamType::kDict},
                                {"maybe_query", ParamType::kDictOrNone},
                                {"return_result", ParamType::kBool}}};
constexpr MethodSig kDropCollectionSig{"Moxal.drop_collection()", 1, 1, {kCollectionName}};
constexpr MethodSig kWriteSig{"Moxal.write()", 1, 1, {kCollectionName}};

#define MOXAL_VECTORCALL(fn) \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

MOXAL_VECTORCALL(LoadFromDocument) {
  return Call(self, &kLoadFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                return RunToStatus(b, [&] { return db.load_from_document(a.text[0]); });
              });
}

MOXAL_VECTORCALL(CreateCollection) {
  return Call(self, &kCreateCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                return RunToStatus(b, [&] { return db.create_collection(a.text[0]); });
              });
}

MOXAL_VECTORCALL(Insert) {
  return Call(self, &kInsertSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                Converted<Value> doc = ConvertValue(a.object[1], kMaxDocumentDepth);
                return RunToStatus(b, [&] { return db.insert(a.text[0], std::move(doc)); });
              });
}

MOXAL_VECTORCALL(InsertMany) {
  return Call(self, &kInsertManySig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                // The list plays the part of the collection's array in the file.
                Converted<std::vector<Value>> docs = ConvertItems(a.object[1], kMaxNesting);
                return RunToStatus(b, [&] { return db.insert_many(a.text[0], std::move(docs)); });
              });
}

MOXAL_VECTORCALL(InsertManyFromDocument) {
  return Call(self, &kInsertManyFromDocumentSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                return RunToStatus(
                    b, [&] { return db.insert_many_from_document(a.text[0], a.text[1]); });
              });
}

MOXAL_VECTORCALL(Find) {
  return Call(self, &kFindSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) -> PyObject* {
                std::optional<Converted<Value>> query = ConvertQuery(a.object[1]);
                Found found;
                Status s;
                if (!Unlocked(b, [&] { s = db.find(a.text[0], OrNull(query), &found); })) {
                  return nullptr;
                }
                if (!s.ok()) return Raise(s);
                PyRef list =
                    PyRef::Steal(DocumentsToPython(found.docs->data(), found.docs->size()));
                if (list) db.CacheResult(a.text[0], &found);
                return list.release();
              });
}

MOXAL_VECTORCALL(Update) {
  return Call(self, &kUpdateSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) -> PyObject* {
                Converted<Value> changes = ConvertValue(a.object[1], kMaxNesting);
                std::optional<Converted<Value>> filter = ConvertQuery(a.object[2]);
                bool return_result = a.flag[3];
                PreparedUpdate prepared;
                std::vector<Value> after;
                TraceCollector trace;
                Status s;
                if (!Unlocked(b, [&] {
                      s = db.update(a.text[0], changes, OrNull(filter), &prepared, CollectTrace);
                      if (!s.ok()) return;
                      if (return_result) {
                        after = prepared.After();
                      } else {
                        db.CommitUpdate(&prepared);
                      }
                    })) {
                  return nullptr;
                }
                if (!s.ok()) return Raise(s);
                if (!return_result) Py_RETURN_NONE;
                // The collection changes only once its returned list is built.
                PyObject* list = DocumentsToPython(after.data(), after.size());
                if (list != nullptr) db.CommitUpdate(&prepared);
                return list;
              });
}

MOXAL_VECTORCALL(DropCollection) {
  return Call(self, &kDropCollectionSig, args, nargs, kwnames, Access::kExclusive,
              [](Database& db, const Args& a, Borrow* b) {
                return RunToStatus(b, [&] { return db.drop_collection(a.text[0]); });
              });
}

MOXAL_VECTORCALL(Write) {
  return Call(self, &kWriteSig, args, nargs, kwnames, Access::kShared,
              [](Database& db, const Args& a, Borrow* b) {
                return RunToStatus(b, [&] { return db.write(a.text[0]); });
              });
}

#define MOXAL_NOARGS(fn) PyObject* fn(PyObject* self, PyObject* /*unused*/)

MOXAL_NOARGS(Collections) {
  return Call(self, nullptr, nullptr, 0, nullptr, Access::kShared,
              [](Database& db, const Args&, Borrow* b) -> PyObject* {
                std::vector<std::string> names;
                Status s;
                if (!Unlocked(b, [&] { s = db.collections(&names); })) return nullptr;
                if (!s.ok()) return Raise(s);
                return StringsToPython(names);
              });
}

MOXAL_NOARGS(DropAll) {
  return Call(self, nullptr, nullptr, 0, nullptr, Access::kExclusive,
              [](Database& db, const Args&, Borrow* b) {
                return RunToStatus(b, [&] { return db.drop_all(); });
              });
}

MOXAL_NOARGS(WriteAll) {
  return Call(self, nullptr, nullptr, 0, nullptr, Access::kShared,
              [](Database& db, const Args&, Borrow* b) {
                return RunToStatus(b, [&] { return db.write_all(); });
              });
}

MOXAL_NOARGS(ClearCache) {
  return Call(self, nullptr, nullptr, 0, nullptr, Access::kExclusive,
              [](Database& db, const Args&, Borrow* b) {
                return RunToStatus(b, [&] { return db.clear_cache(); });
              });
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args a;
  if (!MatchArgs(kNewSig, args, kwargs, &a) || !ConvertArgs(kNewSig, &a)) return nullptr;
  try {
    auto db = std::make_unique<Database>(std::string(a.text[0]));
    Status s;
    if (!Unlocked(nullptr, [&] { s = db->open(); })) return nullptr;
    if (!s.ok()) return Raise(s);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;  // the database is dropped with `db`
    auto* self = reinterpret_cast<MoxalObject*>(obj);
    self->db = db.release();
    RegisterInstance(self);
    return obj;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return Raise(Status::Internal(e.what()));
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

PyMethodDef kMethods[] = {
    {"load_from_document", MOXAL_FASTCALL(LoadFromDocument), kVector,
     "load_from_document($self, document_path)\n--\n\n"},
    {"create_collection", MOXAL_FASTCALL(CreateCollection), kVector,
     "create_collection($self, collection_name)\n--\n\n"},
    {"insert", MOXAL_FASTCALL(Insert), kVector,
     "insert($self, collection_name, document)\n--\n\n"},
    {"insert_many", MOXAL_FASTCALL(InsertMany), kVector,
     "insert_many($self, collection_name, documents)\n--\n\n"},
    {"insert_many_from_document", MOXAL_FASTCALL(InsertManyFromDocument), kVector,
     "insert_many_from_document($self, collection_name, document_name)\n--\n\n"},
    {"find", MOXAL_FASTCALL(Find), kVector,
     "find($self, collection_name, maybe_query=None)\n--\n\n"},
    {"update", MOXAL_FASTCALL(Update), kVector,
     "update($self, collection_name, update_query, maybe_query=None, "
     "return_result=False)\n--\n\n"},
    {"collections", Collections, METH_NOARGS, "collections($self)\n--\n\n"},
    {"drop_collection", MOXAL_FASTCALL(DropCollection), kVector,
     "drop_collection($self, collection_name)\n--\n\n"},
    {"drop_all", DropAll, METH_NOARGS, "drop_all($self)\n--\n\n"},
    {"write", MOXAL_FASTCALL(Write), kVector, "write($self, collection_name)\n--\n\n"},
    {"write_all", WriteAll, METH_NOARGS, "write_all($self)\n--\n\n"},
    {"clear_cache", ClearCache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_doc, const_cast<char*>("Moxal(name)\n--\n\n")},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Moxal",  // reported as plain Moxal, module "builtins"
    sizeof(MoxalObject),
    0,
    Py_TPFLAGS_DEFAULT,  // not a base type: subclassing is refused
    kSlots,
};

}  // namespace

PyObject* MoxalType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyRef made = PyRef::Steal(PyType_FromSpec(&kSpec));
    if (!made) return nullptr;
    // The class is named plainly "Moxal", like a built-in type, in messages
    // too; the registered name "builtins.Moxal" only supplied the module.
    reinterpret_cast<PyTypeObject*>(made.get())->tp_name = "Moxal";
    // The class documentation is only the signature "(name)": no docstring.
    if (PyObject_SetAttrString(made.get(), "__doc__", Py_None) < 0) return nullptr;
    type = made.release();
  }
  return type;
}

}  // namespace moxal
