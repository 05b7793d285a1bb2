#include "conversion/to_python.h"

#include <array>
#include <cstring>
#include <string_view>

#include "values/swar.h"

namespace moxal {

namespace {

bool IsAscii(const char* s, size_t n) {
  return swar::AsciiPrefix(reinterpret_cast<const uint8_t*>(s), n) == n;
}

// A new str from valid UTF-8.
PyObject* NewStr(std::string_view s) {
  if (IsAscii(s.data(), s.size())) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
    return o;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

class PythonBuilder {
 public:
  PythonBuilder() = default;
  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;
  ~PythonBuilder() {
    for (Slot& s : slots_) Py_XDECREF(s.str);
  }

  PyObject* Convert(ValueRef v) {
    switch (v.tag()) {
      case tag::kNull:
        return Py_NewRef(Py_None);
      case tag::kFalse:
        return Py_NewRef(Py_False);
      case tag::kTrue:
        return Py_NewRef(Py_True);
      case tag::kUnsigned:
        return PyLong_FromUnsignedLongLong(v.as_unsigned());
      case tag::kNegative:
        return PyLong_FromLongLong(v.as_negative());
      case tag::kFloat:
        return PyFloat_FromDouble(v.as_float());
      case tag::kStr8:
      case tag::kStr32:
        return NewStr(v.as_string());
      case tag::kArray:
        return Array(v.as_array());
      default:
        return Object(v.as_object());
    }
  }

 private:
  // Equal keys share one str: the documents of a collection repeat the same
  // few field names, so most keys are found in this open-addressed table
  // instead of being decoded again. 512 slots hold the names of even a wide
  // collection with room to spare, which keeps the probes short, and at
  // 12 KiB the table is cheap to clear for every call. Keys over 64 bytes
  // are seldom field names and cost more to hash the longer they are, so
  // they are not cached, nor is a key whose 8 probes all meet other keys.
  // The views point into the documents, which outlive the builder.
  static constexpr size_t kSlots = 512;
  static constexpr size_t kMaxCachedKey = 64;
  struct Slot {
    std::string_view key;
    PyObject* str = nullptr;
  };

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
    PyObject* dict = _PyDict_NewPresized(o.count());
    if (dict == nullptr) return nullptr;
    for (Member m : o) {
      PyObject* key = Key(m.key);
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

  // A new reference to the str for `k`, shared by equal keys.
  PyObject* Key(std::string_view k) {
    if (k.size() > kMaxCachedKey) return NewStr(k);
    uint64_t h = 1469598103934665603ULL;
    for (char c : k) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
    for (size_t i = h & (kSlots - 1), probes = 0; probes < 8;
         i = (i + 1) & (kSlots - 1), ++probes) {
      Slot& s = slots_[i];
      if (s.str == nullptr) {
        s.str = NewStr(k);
        if (s.str == nullptr) return nullptr;
        s.key = k;
        return Py_NewRef(s.str);
      }
      if (s.key == k) return Py_NewRef(s.str);
    }
    return NewStr(k);  // neighbourhood full: do without the cache
  }

  std::array<Slot, kSlots> slots_{};
};

constexpr size_t kDocumentsPerSignalCheck = 4096;

// Pauses the cyclic collector for the life of the guard.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

}  // namespace

PyObject* DocumentsToPython(const Value* docs, size_t n) {
  GcPause pause;
  PythonBuilder b;
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    // Often enough that Ctrl-C ends a long conversion within milliseconds,
    // rarely enough to cost nothing measurable.
    if (i % kDocumentsPerSignalCheck == kDocumentsPerSignalCheck - 1 &&
        PyErr_CheckSignals() < 0) {
      return nullptr;
    }
    PyObject* item = b.Convert(docs[i].ref());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
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
