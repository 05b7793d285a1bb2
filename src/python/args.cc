#include "python/args.h"

#include <cassert>
#include <string>

#include "conversion/conversion_error.h"
#include "conversion/py_text.h"

namespace moxal {

namespace {

bool TypeErrorMessage(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// "Moxal.find()", as argument errors name a method.
std::string FullName(const ParamNames& params) {
  return std::string(kClassName) + "." + params.method + "()";
}

bool TooManyPositional(const ParamNames& params, Py_ssize_t given) {
  std::string msg = FullName(params);
  if (params.required == params.positional) {
    msg += " takes " + std::to_string(params.positional);
  } else {
    msg += " takes from " + std::to_string(params.required) + " to " +
           std::to_string(params.positional);
  }
  msg += " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was given" : " were given");
  return TypeErrorMessage(msg);
}

bool MatchKeyword(const ParamNames& params, PyObject* key, PyObject* value, PyObject** matched) {
  for (int i = 0; i < params.count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0) {
      if (matched[i] != nullptr) {
        return TypeErrorMessage(FullName(params) + " got multiple values for argument '" +
                                params.names[i] + "'");
      }
      matched[i] = value;
      return true;
    }
  }
  std::string name = PyUnicode_Check(key) ? Utf8(key) : TypeName(key);
  return TypeErrorMessage(FullName(params) + " got an unexpected keyword argument '" + name + "'");
}

bool CheckRequired(const ParamNames& params, PyObject* const* matched) {
  std::string names;
  int missing = 0;
  for (int i = 0; i < params.required; ++i) {
    if (matched[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  int listed = 0;
  for (int i = 0; i < params.required; ++i) {
    if (matched[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed == missing - 1 ? ", and " : ", ";
      }
    }
    names += std::string("'") + params.names[i] + "'";
    ++listed;
  }
  return TypeErrorMessage(FullName(params) + " missing " + std::to_string(missing) +
                          " required positional argument" + (missing == 1 ? "" : "s") + ": " +
                          names);
}

// TypeError "argument '{param}': '{type}' object cannot be converted to
// '{target}'", caused by the TypeError the check itself raised.
bool ConversionTypeError(const char* param, PyObject* o, const char* target) {
  std::string inner_msg = "'" + TypeName(o) + "' object cannot be converted to '" + target + "'";
  PyRef inner = PyRef::Steal(PyObject_CallFunction(PyExc_TypeError, "s", inner_msg.c_str()));
  if (!inner) return false;
  std::string outer_msg = std::string("argument '") + param + "': " + inner_msg;
  PyRef outer = PyRef::Steal(PyObject_CallFunction(PyExc_TypeError, "s", outer_msg.c_str()));
  if (!outer) return false;
  PyException_SetCause(outer.get(), inner.release());
  PyErr_SetObject(PyExc_TypeError, outer.get());
  return false;
}

// After a conversion failed with the exception set: an exception that is
// exactly TypeError becomes TypeError "argument '{param}': {message}"
// caused by it; any other exception stays as it is. Returns false.
bool WrapTypeError(const char* param) {
  assert(PyErr_Occurred());
  PyRef exc = FetchException();
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    RestoreException(std::move(exc));
    return false;
  }
  PyRef text = PyRef::Steal(PyObject_Str(exc.get()));
  if (!text) return false;
  std::string message = std::string("argument '") + param + "': " + Utf8(text.get());
  PyRef outer = PyRef::Steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!outer) return false;
  PyException_SetCause(outer.get(), exc.release());
  PyErr_SetObject(PyExc_TypeError, outer.get());
  return false;
}

// A NumPy boolean scalar: a type named "bool_" or "bool" in module "numpy".
bool IsNumpyBool(PyObject* o) {
  PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  PyRef module =
      PyRef::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

// A bool, or a NumPy boolean scalar taken by its truth value.
bool ConvertBool(const char* name, PyObject* o, bool* out) {
  if (PyBool_Check(o)) {
    *out = o == Py_True;
    return true;
  }
  if (!IsNumpyBool(o)) return ConversionTypeError(name, o, "PyBool");
  int truth = ParkIfEnded([o] { return PyObject_IsTrue(o); });  // a __bool__ of Python code
  if (truth < 0) return WrapTypeError(name);
  *out = truth != 0;
  return true;
}

}  // namespace

bool MatchArgs(const ParamNames& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** matched) {
  assert(nargs >= 0 && (nargs == 0 || args != nullptr));
  assert(kwnames == nullptr || PyTuple_Check(kwnames));
  if (nargs > params.positional) return TooManyPositional(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) matched[i] = args[i];
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (!MatchKeyword(params, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], matched)) {
      return false;
    }
  }
  return CheckRequired(params, matched);
}

bool MatchArgs(const ParamNames& params, PyObject* args, PyObject* kwargs, PyObject** matched) {
  assert(PyTuple_Check(args) && (kwargs == nullptr || PyDict_Check(kwargs)));
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > params.positional) return TooManyPositional(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) matched[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!MatchKeyword(params, key, value, matched)) return false;
    }
  }
  return CheckRequired(params, matched);
}

bool ConvertArg(const char* name, ParamType type, PyObject* o, ArgValue* out) {
  assert(o != nullptr);
  switch (type) {
    case ParamType::kStr: {
      if (!PyUnicode_Check(o)) return ConversionTypeError(name, o, "PyString");
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(o, &n);
      if (s == nullptr) return WrapTypeError(name);  // lone surrogates: as is
      out->text = std::string_view(s, static_cast<size_t>(n));
      return true;
    }
    case ParamType::kDict:
      if (!PyDict_Check(o)) return ConversionTypeError(name, o, "PyDict");
      out->object = o;
      return true;
    case ParamType::kList:
      if (!PyList_Check(o)) return ConversionTypeError(name, o, "PyList");
      out->object = o;
      return true;
    case ParamType::kDictOrNone:
      if (o == Py_None) {
        out->object = nullptr;
        return true;
      }
      if (!PyDict_Check(o)) return ConversionTypeError(name, o, "PyDict");
      out->object = o;
      return true;
    case ParamType::kBool:
      return ConvertBool(name, o, &out->flag);
    case ParamType::kObject:
      out->object = o;
      return true;
  }
  PyErr_SetString(PyExc_SystemError, "moxal: a parameter of unknown type");
  return false;
}

}  // namespace moxal
