#include "conversion/py_text.h"

#include <cassert>

namespace moxal {

std::string Utf8(PyObject* s) {
  assert(PyUnicode_Check(s));
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

std::string TypeName(PyObject* o) {
  PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return Utf8(name.get());
}

std::string QualifiedTypeName(PyObject* o) {
  PyRef name = PyRef::Steal(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "unknown";
  }
  return Utf8(name.get());
}

std::string Repr(PyObject* o) {
  PyRef r = PyRef::Steal(ParkIfEnded([o] { return PyObject_Repr(o); }));
  if (!r) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n);
  if (s == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(s, static_cast<size_t>(n));
}

}  // namespace moxal
