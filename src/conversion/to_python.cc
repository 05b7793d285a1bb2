#include "conversion/to_python.h"

#include <cassert>
#include <climits>
#include <cstring>
#include <string_view>

#include "conversion/key_strs.h"
#include "conversion/str_cache.h"

namespace moxal {

namespace {

// A new empty dict with room for `members` keys. CPython has no public call
// for that: _PyDict_NewPresized is private (exported by every release this
// builds for), and the build checks that the headers still declare it. On
// a Python without it, PyDict_New stands in: the results are the same, but
// a wide dict's table then grows and is rehashed each time it fills (five
// times on the way to 100 members), which makes wide documents slower to
// build.
PyObject* NewPresizedDict(size_t members) {
#if MOXAL_HAVE_DICT_NEW_PRESIZED
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(members));
#else
  static_cast<void>(members);
  return PyDict_New();
#endif
}

// Builds the Python objects of one conversion. Equal keys share one str, and
// so do equal short string values: strs cannot be changed, so sharing them
// is invisible but for identity, and documents repeat both (field names;
// names of things, categories, tags, codes), which saves creating, hashing
// and later freeing a str each time.
class PythonBuilder {
 public:
  // `documents` is how many documents the conversion builds; the cache of
  // values is sized by it, so a small result does not pay for a large one.
  // Field names come from `keys`, which keeps them from one conversion to
  // the next; without it (no memory for its table) they are made anew.
  PythonBuilder(KeyStrs* keys, size_t documents) : keys_(keys), values_(ValueSlots(documents)) {}
  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;

  // A new object for `v`, or null with a Python exception set.
  PyObject* Convert(ValueRef v) {
    switch (v.tag()) {
      case tag::kNull:
        return Py_NewRef(Py_None);
      case tag::kFalse:
        return Py_NewRef(Py_False);
      case tag::kTrue:
        return Py_NewRef(Py_True);
      case tag::kUnsigned: {
        uint64_t u = v.as_unsigned();
        return u <= LONG_MAX ? PyLong_FromLong(static_cast<long>(u))
                             : PyLong_FromUnsignedLongLong(u);
      }
      case tag::kNegative:
        return PyLong_FromLongLong(v.as_negative());
      case tag::kFloat:
        return PyFloat_FromDouble(v.as_float());
      case tag::kStr8:
      case tag::kStr32:
        return String(v.as_string());
      case tag::kArray:
        return Array(v.as_array());
      case tag::kObject:
        return Object(v.as_object());
    }
    NoSuchTag();
  }

 private:
  // String values up to 16 bytes: the short ones are those that repeat;
  // longer ones (text, addresses, times, identifiers) seldom do, and would
  // only push out those that do. One slot per document up to 4096 slots
  // (96 KiB), which keeps a few thousand distinct values; none for a
  // result of a document or two, whose values seldom repeat (the table is
  // zeroed for each conversion, which would cost such a result more than
  // it saves).
  static constexpr size_t kMaxCachedValue = 16;
  static constexpr size_t kMaxValueSlots = 4096;

  static size_t ValueSlots(size_t documents) {
    if (documents <= 2) return 0;
    size_t slots = 16;
    while (slots < documents && slots < kMaxValueSlots) slots *= 2;
    return slots;
  }

  PyObject* String(std::string_view s) {
    if (s.size() > kMaxCachedValue) return NewStr(s);
    return values_.Get(s, NewStr);
  }

  PyObject* Array(ArrayRef a) {
    PyObject* list = PyList_New(a.count());
    if (list == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (ValueRef e : a) {
      PyObject* item = Convert(e);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, i++, item);
    }
    return list;
  }

  PyObject* Object(ObjectRef o) {
    // Up to 10 members, an empty dict rather than one presized for them: a
    // presized table takes keys of any type (24-byte entries whose keys the
    // collector visits too), while an empty dict gets a table for str keys
    // on its first insert (16-byte entries), which grows once, to the 16
    // slots that hold 10 keys. That is faster to build, collect and free,
    // and smaller. A wider document would grow it again and again, which
    // costs more than the larger entries.
    constexpr size_t kGrowOnce = 10;
    PyObject* dict = o.count() <= kGrowOnce ? PyDict_New() : NewPresizedDict(o.count());
    if (dict == nullptr) return nullptr;
    for (Member m : o) {
      PyObject* key = keys_ != nullptr ? keys_->Get(m.key) : NewStr(m.key);
      if (key == nullptr) {
        Py_DECREF(dict);
        return nullptr;
      }
      PyObject* value = Convert(m.value);
      if (value == nullptr) {
        Py_DECREF(key);
        Py_DECREF(dict);
        return nullptr;
      }
      int rc = PyDict_SetItem(dict, key, value);
      Py_DECREF(key);
      Py_DECREF(value);
      if (rc < 0) {
        Py_DECREF(dict);
        return nullptr;
      }
    }
    return dict;
  }

  KeyStrs* keys_;
  StrCache values_;
};

// Documents built between two looks at the clock: a document takes about a
// microsecond, so the pauses come within a tenth of a switch interval of
// their time, and the clock costs nothing measurable.
constexpr uint32_t kDocumentsPerLook = 32;

// Asks the processor to fetch the start of `doc` while the documents before
// it are built: documents are separate blocks, often far apart (a query's
// matches), and building one takes long enough to hide the wait. Six cache
// lines hold most documents, whose member tables come last; the size is not
// read, as reading it would wait for the very line being fetched (a fetch
// past the end does no harm).
void Prefetch(const Value& doc) {
  constexpr size_t kLine = 64, kLines = 6;
  const auto* p = reinterpret_cast<const char*>(doc.data());
  for (size_t i = 0; i < kLines; ++i) __builtin_prefetch(p + i * kLine);
}

}  // namespace

PyObject* DocumentsToPython(ConversionState* state, const Value* docs, size_t n, Pacer* pacer) {
  assert(docs != nullptr || n == 0);
  CollectorPause pause(pacer);
  pacer->Start(kDocumentsPerLook);
  if (state->keys == nullptr) state->keys = KeyStrs::New();  // null: names made each time
  PythonBuilder b(state->keys, n);
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  // Other threads run at the pacer's pauses, and the collector can hand
  // them the list (gc.get_objects()): its slots hold None until filled,
  // never null. The list stays tracked, ahead of its documents among the
  // young objects, so that the next collection finds them reachable through
  // it as it meets them (tracked only once full, it would come after them,
  // and the collection would first take each for unreachable: twice as long).
  for (size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
  }
  for (size_t i = 0; i < n; ++i) {
    if (!pacer->Step()) return nullptr;
    // Two ahead: one document's build is about as long as a fetch takes.
    if (i + 2 < n) Prefetch(docs[i + 2]);
    PyObject* item = b.Convert(docs[i].ref());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    Py_DECREF(Py_None);  // the None the slot held
  }
  return list.release();
}

PyObject* StringsToPython(const std::vector<std::string>& strings) {
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < strings.size(); ++i) {
    PyObject* str = PyUnicode_DecodeUTF8(strings[i].data(),
                                         static_cast<Py_ssize_t>(strings[i].size()), nullptr);
    if (str == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str);
  }
  return list.release();
}

}  // namespace moxal
