#include "conversion/to_value.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "conversion/py_text.h"
#include "values/builder.h"

namespace moxal {

namespace {

// Imports collections.abc.Sequence and Mapping into *state unless they are
// there. False with the exception set when that fails.
bool LoadAbcs(ConversionState* state) {
  if (state->sequence_abc != nullptr && state->mapping_abc != nullptr) return true;
  PyRef mod = PyRef::Steal(ParkIfEnded([] { return PyImport_ImportModule("collections.abc"); }));
  if (!mod) return false;
  PyRef seq = PyRef::Steal(PyObject_GetAttrString(mod.get(), "Sequence"));
  if (!seq) return false;
  PyRef map = PyRef::Steal(PyObject_GetAttrString(mod.get(), "Mapping"));
  if (!map) return false;
  Py_XSETREF(state->sequence_abc, seq.release());
  Py_XSETREF(state->mapping_abc, map.release());
  return true;
}

// Whether `o`'s type is exactly the type `name` of the module `module_name`,
// whose full name is `type_name`, looked up in the loaded modules without
// running Python code (an instance exists, so its module is loaded) and
// kept in *cache from then on.
bool IsLoadedType(PyObject* o, const char* type_name, const char* module_name, const char* name,
                  PyObject** cache) {
  PyTypeObject* type = Py_TYPE(o);
  if (*cache != nullptr) return type == reinterpret_cast<PyTypeObject*>(*cache);
  if (std::strcmp(type->tp_name, type_name) != 0) return false;
  PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), module_name);  // borrowed
  if (module == nullptr || !PyModule_CheckExact(module)) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* found = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;
  if (found == nullptr || !PyType_Check(found)) return false;
  *cache = Py_NewRef(found);
  return type == reinterpret_cast<PyTypeObject*>(found);
}

// Built-in sequences whose length and items are read without running Python
// code, so they need no check against collections.abc.Sequence (which runs
// some), which they all pass.
bool IsBuiltinSequence(ConversionState* state, PyObject* o) {
  return PyRange_Check(o) || PyMemoryView_Check(o) ||
         IsLoadedType(o, "collections.deque", "_collections", "deque", &state->deque_type) ||
         IsLoadedType(o, "array.array", "array", "array", &state->array_type);
}

// The dict behind a types.MappingProxyType, or null when `o` is not one or
// has another mapping behind it. The proxy's layout is its header and the
// mapping; CPython has no call that returns the mapping.
PyObject* DictBehindProxy(PyObject* o) {
  struct MappingProxy {
    PyObject_HEAD
    PyObject* mapping;
  };
  if (!Py_IS_TYPE(o, &PyDictProxy_Type)) return nullptr;
  PyObject* mapping = reinterpret_cast<MappingProxy*>(o)->mapping;
  return PyDict_CheckExact(mapping) ? mapping : nullptr;
}

// A document's encoding addresses its bytes with 32-bit offsets.
ConversionError TooLargeError() {
  return ConversionError::Message("value too large: a single document is limited to 4 GiB");
}

class Converter {
 public:
  Converter(ConversionState* state, int max_depth, Pacer* pacer, ConversionError* error)
      : state_(state), max_depth_(max_depth), pacer_(pacer), error_(error) {
    pacer_->Start(kValuesPerLook);
  }

  bool Convert(PyObject* o, int depth);
  // The items of a sequence, one finished value each.
  bool Elements(PyObject* o, std::vector<Value>* out);
  Builder& builder() { return b_; }

 private:
  bool Fail(ConversionError e) {
    *error_ = std::move(e);
    return false;
  }
  bool FailPython() { return Fail(ConversionError::FetchPython()); }
  // The value under `key` (a str) failed: the error's path gets the key.
  bool FailedIn(PyObject* key) {
    if (!error_->interrupted()) error_->AddKey(key);
    return false;
  }

  // Values converted between two looks at the clock (pacer.h): a value takes
  // tens of nanoseconds.
  static constexpr uint32_t kValuesPerLook = 256;

  bool ByAbstractClass(PyObject* o, int depth);

  bool Int(PyObject* o);
  bool IntBeyond64Bits(PyObject* o, bool negative);
  bool Str(PyObject* o);
  // Containers: `depth` containers are open around `o`.
  bool Enter(PyObject* o, int depth);
  void Leave() { open_.pop_back(); }
  bool Sequence(PyObject* o, int depth);
  // Reads a sequence's length twice (they must agree) and calls
  // item(element) for each element in index order.
  template <class F>
  bool ForEachItem(PyObject* o, F&& item);
  bool FailTooLarge() { return Fail(TooLargeError()); }
  bool ExactDict(PyObject* o, int depth);
  bool Mapping(PyObject* o, int depth);
  bool Set(PyObject* o, int depth);
  bool Key(PyObject* key);

  // Strong references taken while a dict is read; each dict's pairs sit on
  // top of the stack and are dropped when it is done.
  class Stash {
   public:
    explicit Stash(std::vector<PyObject*>& v) : v_(v), base_(v.size()) {}
    ~Stash() {
      for (size_t i = base_; i < v_.size(); ++i) DropRef(v_[i]);
      v_.resize(base_);
    }
    size_t base() const { return base_; }

   private:
    std::vector<PyObject*>& v_;
    size_t base_;
  };

  ConversionState* state_;
  int max_depth_;
  Pacer* pacer_;
  ConversionError* error_;
  Builder b_;
  std::vector<PyObject*> open_;   // containers being converted, outermost first
  std::vector<PyObject*> stash_;  // see Stash
};

bool Converter::Convert(PyObject* o, int depth) {
  if (!pacer_->Step()) return Fail(ConversionError::Interrupted());
  if (o == Py_None) {
    b_.Null();
    return true;
  }
  if (PyBool_Check(o)) {
    b_.Bool(o == Py_True);
    return true;
  }
  if (PyLong_Check(o)) return Int(o);
  if (PyList_Check(o) || PyTuple_Check(o)) return Sequence(o, depth);
  if (PyDict_Check(o)) {
    return PyDict_CheckExact(o) ? ExactDict(o, depth) : Mapping(o, depth);
  }
  if (PyUnicode_Check(o)) return Str(o);
  if (PyBytes_Check(o)) {
    return Fail(
        ConversionError::Message("invalid type: byte array, expected any valid JSON value"));
  }
  if (PyByteArray_Check(o)) {
    return Fail(ConversionError::UnexpectedType("'" + TypeName(o) +
                                                "' object cannot be converted to 'PyBytes'"));
  }
  if (PyFloat_Check(o)) {
    double d = PyFloat_AS_DOUBLE(o);
    if (std::isfinite(d)) {
      b_.Float(d);
    } else {
      b_.Null();
    }
    return true;
  }
  if (PyAnySet_Check(o)) return Set(o, depth);
  if (IsBuiltinSequence(state_, o)) return Sequence(o, depth);
  if (PyObject* dict = DictBehindProxy(o)) return ExactDict(dict, depth);
  return ByAbstractClass(o, depth);
}

// Rows 11 to 13: the checks run Python code (ABCMeta.__instancecheck__, and
// a class's __subclasshook__).
bool Converter::ByAbstractClass(PyObject* o, int depth) {
  if (!LoadAbcs(state_)) return FailPython();
  int is = ParkIfEnded([&] { return PyObject_IsInstance(o, state_->sequence_abc); });
  if (is < 0) return FailPython();
  if (is) return Sequence(o, depth);
  is = ParkIfEnded([&] { return PyObject_IsInstance(o, state_->mapping_abc); });
  if (is < 0) return FailPython();
  if (is) return Mapping(o, depth);
  return Fail(ConversionError::UnsupportedType(QualifiedTypeName(o)));
}

bool Converter::Int(PyObject* o) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return FailPython();
    if (v >= 0) {
      b_.Unsigned(static_cast<uint64_t>(v));
    } else {
      b_.Negative(v);
    }
    return true;
  }
  if (overflow > 0) {
    unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (u != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      b_.Unsigned(u);
      return true;
    }
    PyErr_Clear();
  }
  return IntBeyond64Bits(o, overflow < 0);
}

// Within 128 bits (u128 for positive, i128 for negative values) the number
// is out of JSON's range; beyond, the interpreter's own OverflowError from
// the 128-bit conversion is the error.
bool Converter::IntBeyond64Bits(PyObject* o, bool negative) {
  PyRef to_bytes =
      PyRef::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
  if (!to_bytes) return FailPython();
  PyRef args = PyRef::Steal(Py_BuildValue("(Ois)", o, 16, "little"));
  PyRef kwargs = PyRef::Steal(Py_BuildValue("{s:O}", "signed", negative ? Py_True : Py_False));
  if (!args || !kwargs) return FailPython();
  PyRef bytes = PyRef::Steal(
      ParkIfEnded([&] { return PyObject_Call(to_bytes.get(), args.get(), kwargs.get()); }));
  if (!bytes) return FailPython();
  return Fail(ConversionError::Message("JSON number out of range"));
}

bool Converter::Str(PyObject* o) {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) return FailPython();
  b_.String(std::string_view(s, static_cast<size_t>(n)));
  return true;
}

bool Converter::Key(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    return Fail(ConversionError::UnexpectedType("'" + TypeName(key) +
                                                "' object cannot be converted to 'PyString'"));
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(key, &n);
  if (s == nullptr) return FailPython();
  b_.Key(std::string_view(s, static_cast<size_t>(n)));
  return true;
}

bool Converter::Enter(PyObject* o, int depth) {
  if (std::find(open_.begin(), open_.end(), o) != open_.end()) {
    return Fail(ConversionError::Message("cannot store a list or dict that contains itself"));
  }
  if (depth + 1 > max_depth_) {
    return Fail(ConversionError::Message("nesting too deep: at most " + std::to_string(max_depth_) +
                                         " levels of lists and dicts can be stored"));
  }
  open_.push_back(o);
  return true;
}

template <class F>
bool Converter::ForEachItem(PyObject* o, F&& item) {
  bool exact_list = PyList_CheckExact(o);
  bool exact_tuple = PyTuple_CheckExact(o);
  // A sequence of the program's own may run Python code for each of these.
  Py_ssize_t n = ParkIfEnded([o] { return PySequence_Size(o); });
  if (n < 0) return FailPython();
  Py_ssize_t again = ParkIfEnded([o] { return PySequence_Size(o); });
  if (again < 0) return FailPython();
  if (again != n) return Fail(ConversionError::IncorrectSequenceLength(n, again));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef element;
    if (exact_tuple) {
      element = PyRef::Borrow(PyTuple_GET_ITEM(o, i));
    } else if (exact_list) {
      // Converting an item can run Python code that shrinks the list.
      if (i >= PyList_GET_SIZE(o)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return FailPython();
      }
      element = PyRef::Borrow(PyList_GET_ITEM(o, i));
    } else {
      element = PyRef::Steal(ParkIfEnded([o, i] { return PySequence_GetItem(o, i); }));
      if (!element) return FailPython();
    }
    if (!item(element.get())) {
      error_->AddIndex(i);
      return false;
    }
  }
  return true;
}

bool Converter::Sequence(PyObject* o, int depth) {
  if (!Enter(o, depth)) return false;
  b_.BeginArray();
  if (!ForEachItem(o, [&](PyObject* e) { return Convert(e, depth + 1); })) return false;
  b_.EndArray();
  Leave();
  return true;
}

bool Converter::Elements(PyObject* o, std::vector<Value>* out) {
  if (!Enter(o, 0)) return false;
  bool ok = ForEachItem(o, [&](PyObject* e) {
    if (!Convert(e, 1)) return false;
    if (!b_.ok()) return FailTooLarge();
    out->push_back(b_.Finish());
    return true;
  });
  if (!ok) return false;
  Leave();
  return true;
}

bool Converter::ExactDict(PyObject* o, int depth) {
  if (!Enter(o, depth)) return false;
  // Take the pairs once (no Python code runs meanwhile), holding references,
  // since converting a value may run code that changes the dict.
  Stash stash(stash_);
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(o, &pos, &k, &v)) {
    stash_.push_back(Py_NewRef(k));
    stash_.push_back(Py_NewRef(v));
  }
  size_t end = stash_.size();
  b_.BeginObject();
  for (size_t i = stash.base(); i < end; i += 2) {
    if (!Key(stash_[i])) return false;
    if (!Convert(stash_[i + 1], depth + 1)) return FailedIn(stash_[i]);
  }
  b_.EndObject();
  Leave();
  return true;
}

bool Converter::Mapping(PyObject* o, int depth) {
  if (!Enter(o, depth)) return false;
  // A mapping of the program's own (or a dict subclass) may run Python code
  // for each of these.
  PyRef keys = PyRef::Steal(ParkIfEnded([o] { return PyMapping_Keys(o); }));
  if (!keys) return FailPython();
  PyRef values = PyRef::Steal(ParkIfEnded([o] { return PyMapping_Values(o); }));
  if (!values) return FailPython();
  Py_ssize_t n = ParkIfEnded([o] { return PyMapping_Size(o); });
  if (n < 0) return FailPython();
  b_.BeginObject();
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The keys and values are lists (PyMapping_Keys and Values make them).
    PyRef key = PyRef::Steal(PySequence_GetItem(keys.get(), i));
    if (!key) return FailPython();
    PyRef value = PyRef::Steal(PySequence_GetItem(values.get(), i));
    if (!value) return FailPython();
    if (!Key(key.get())) return false;
    if (!Convert(value.get(), depth + 1)) return FailedIn(key.get());
  }
  b_.EndObject();
  Leave();
  return true;
}

bool Converter::Set(PyObject* o, int depth) {
  if (!Enter(o, depth)) return false;
  // A set subclass's __iter__ may be Python code.
  PyRef it = PyRef::Steal(ParkIfEnded([o] { return PyObject_GetIter(o); }));
  if (!it) return FailPython();
  b_.BeginArray();
  while (PyRef item = PyRef::Steal(ParkIfEnded([&it] { return PyIter_Next(it.get()); }))) {
    if (!Convert(item.get(), depth + 1)) return false;
  }
  if (PyErr_Occurred()) return FailPython();
  b_.EndArray();
  Leave();
  return true;
}

}  // namespace

bool ToValue(ConversionState* state, PyObject* obj, int max_depth, Pacer* pacer, Value* out,
             ConversionError* error) {
  assert(!PyErr_Occurred());
  Converter c(state, max_depth, pacer, error);
  if (!c.Convert(obj, 0)) return false;
  if (!c.builder().ok()) {
    *error = TooLargeError();
    return false;
  }
  *out = c.builder().Finish();
  return true;
}

bool ToValues(ConversionState* state, PyObject* list, int max_depth, Pacer* pacer,
              std::vector<Value>* out, ConversionError* error) {
  assert(!PyErr_Occurred() && PyList_Check(list));
  Converter c(state, max_depth, pacer, error);
  std::vector<Value> values;
  if (!c.Elements(list, &values)) return false;
  out->insert(out->end(), std::make_move_iterator(values.begin()),
              std::make_move_iterator(values.end()));
  return true;
}

}  // namespace moxal
