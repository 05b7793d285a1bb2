#include "python/args.h"

#include <string>

#include "conversion/conversion_error.h"
#include "conversion/py_text.h"

namespace moxal {

namespace {

bool TypeErrorMessage(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool TooManyPositional(const MethodSig& sig, Py_ssize_t given) {
  std::string msg = sig.full_name;
  if (sig.required == sig.count) {
    msg += " takes " + std::to_string(sig.count);
  } else {
    msg += " takes from " + std::to_string(sig.required) + " to " +
           std::to_string(sig.count);
  }
  msg += " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was given" : " were given");
  return TypeErrorMessage(msg);
}

bool MatchKeyword(const MethodSig& sig, PyObject* key, PyObject* value, Args* out) {
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(key) &&
        PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
      if (out->object[i] != nullptr) {
        return TypeErrorMessage(std::string(sig.full_name) +
                                " got multiple values for argument '" +
                                sig.params[i].name + "'");
      }
      out->object[i] = value;
      return true;
    }
  }
  std::string name = PyUnicode_Check(key) ? Utf8(key) : TypeName(key);
  return TypeErrorMessage(std::string(sig.full_name) +
                          " got an unexpected keyword argument '" + name + "'");
}

bool CheckRequired(const MethodSig& sig, const Args& out) {
  std::string names;
  int missing = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out.object[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  int listed = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out.object[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed == missing - 1 ? ", and " : ", ";
      }
    }
    names += std::string("'") + sig.params[i].name + "'";
    ++listed;
  }
  return TypeErrorMessage(std::string(sig.full_name) + " missing " +
                          std::to_string(missing) + " required positional argument" +
                          (missing == 1 ? "" : "s") + ": " + names);
}

// TypeError "argument '{param}': '{type}' object cannot be converted to
// '{target}'", caused by the TypeError the check itself raised.
bool ConversionTypeError(const char* param, PyObject* o, const char* target) {
  std::string inner_msg =
      "'" + TypeName(o) + "' object cannot be converted to '" + target + "'";
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
  if (!PyErr_Occurred()) return false;
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
  PyRef module = PyRef::Steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool MatchArgs(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Args* out) {
  if (nargs > sig.count) return TooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out->object[i] = args[i];
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (!MatchKeyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out)) {
      return false;
    }
  }
  return CheckRequired(sig, *out);
}

bool MatchArgs(const MethodSig& sig, PyObject* args, PyObject* kwargs, Args* out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) return TooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out->object[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!MatchKeyword(sig, key, value, out)) return false;
    }
  }
  return CheckRequired(sig, *out);
}

bool ConvertArgs(const MethodSig& sig, Args* args) {
  for (int i = 0; i < sig.count; ++i) {
    PyObject* o = args->object[i];
    if (o == nullptr) continue;
    const Param& p = sig.params[i];
    switch (p.type) {
      case ParamType::kStr: {
        if (!PyUnicode_Check(o)) return ConversionTypeError(p.name, o, "PyString");
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s == nullptr) return WrapTypeError(p.name);  // lone surrogates: as is
        args->text[i] = std::string_view(s, static_cast<size_t>(n));
        break;
      }
      case ParamType::kDict:
        if (!PyDict_Check(o)) return ConversionTypeError(p.name, o, "PyDict");
        break;
      case ParamType::kList:
        if (!PyList_Check(o)) return ConversionTypeError(p.name, o, "PyList");
        break;
      case ParamType::kDictOrNone:
        if (o == Py_None) {
          args->object[i] = nullptr;
        } else if (!PyDict_Check(o)) {
          return ConversionTypeError(p.name, o, "PyDict");
        }
        break;
      case ParamType::kBool:
        if (PyBool_Check(o)) {
          args->flag[i] = (o == Py_True);
        } else if (IsNumpyBool(o)) {
          int truth = PyObject_IsTrue(o);
          if (truth < 0) return WrapTypeError(p.name);
          args->flag[i] = truth != 0;
        } else {
          return ConversionTypeError(p.name, o, "PyBool");
        }
        break;
    }
  }
  return true;
}

}  // namespace moxal
