#include "python/find_page.h"

#include <string>
#include <string_view>

#include "conversion/py_text.h"
#include "query/query.h"

namespace moxal {

namespace {

bool Fail(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return false;
}

// An int that is no bool (ints of subclasses by their value).
bool IsInt(PyObject* o) { return PyLong_Check(o) && !PyBool_Check(o); }

// A limit or skip: an int, 0 or more (one beyond what a size can hold
// stands for as many as there can be).
bool ConvertCount(const char* name, PyObject* o, size_t* out) {
  if (o == nullptr) return true;
  if (!IsInt(o)) {
    return Fail(PyExc_TypeError,
                std::string("argument '") + name + "': expected an int, got '" + TypeName(o) + "'");
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    return Fail(PyExc_ValueError, std::string("argument '") + name + "': must not be negative");
  }
  *out = overflow > 0 || static_cast<unsigned long long>(v) > SIZE_MAX ? SIZE_MAX
                                                                       : static_cast<size_t>(v);
  return true;
}

// One sort key, `field` ascending or descending as `direction` says.
bool AddKey(PyObject* field, PyObject* direction, Page* out) {
  if (!PyUnicode_Check(field)) {
    return Fail(PyExc_TypeError,
                "argument 'sort': a field name must be a str, not '" + TypeName(field) + "'");
  }
  Py_ssize_t n;
  const char* text = PyUnicode_AsUTF8AndSize(field, &n);
  if (text == nullptr) return false;
  std::string_view name(text, static_cast<size_t>(n));
  if (direction != nullptr && !IsInt(direction)) {
    return Fail(PyExc_TypeError, "argument 'sort': the direction of '" + std::string(name) +
                                     "' must be 1 or -1, not '" + TypeName(direction) + "'");
  }
  int overflow = 0;
  long long d = direction == nullptr ? 1 : PyLong_AsLongLongAndOverflow(direction, &overflow);
  if (d == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || (d != 1 && d != -1)) {
    std::string got = overflow != 0 ? "a larger int" : std::to_string(d);
    return Fail(PyExc_ValueError, "argument 'sort': the direction of '" + std::string(name) +
                                      "' must be 1 or -1, not " + got);
  }
  SortKey key;
  SplitPath(name, &key.fields);
  key.descending = d == -1;
  out->sort.push_back(std::move(key));
  return true;
}

bool ConvertSort(PyObject* sort, Page* out) {
  if (sort == nullptr || sort == Py_None) return true;
  if (PyUnicode_Check(sort)) return AddKey(sort, nullptr, out);
  if (PyDict_Check(sort)) {
    Py_ssize_t pos = 0;
    PyObject* field;
    PyObject* direction;
    while (PyDict_Next(sort, &pos, &field, &direction)) {
      if (!AddKey(field, direction, out)) return false;
    }
    return true;
  }
  if (!PyList_Check(sort) && !PyTuple_Check(sort)) {
    return Fail(PyExc_TypeError,
                "argument 'sort': expected a field name, a list of (field, direction) pairs or "
                "a dict, got '" +
                    TypeName(sort) + "'");
  }
  // Items are read by index each time: nothing here runs Python code, so
  // the list cannot change meanwhile.
  Py_ssize_t count = PySequence_Fast_GET_SIZE(sort);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(sort, i);
    if ((!PyTuple_Check(pair) && !PyList_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
      return Fail(PyExc_TypeError, "argument 'sort': item " + std::to_string(i) +
                                       " is not a (field, direction) pair");
    }
    if (!AddKey(PySequence_Fast_GET_ITEM(pair, 0), PySequence_Fast_GET_ITEM(pair, 1), out)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ConvertPage(PyObject* sort, PyObject* limit, PyObject* skip, Page* out) {
  return ConvertSort(sort, out) && ConvertCount("limit", limit, &out->limit) &&
         ConvertCount("skip", skip, &out->skip);
}

}  // namespace moxal
