#include "conversion/conversion_error.h"

#include <cassert>

#include "conversion/py_text.h"
#include "values/debug_text.h"

namespace moxal {

PyRef FetchException() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::Steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return PyRef();
  // May make the instance: Python code of the exception's class.
  ParkIfEnded([&] { PyErr_NormalizeException(&type, &value, &tb); });
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return PyRef::Steal(value);
#endif
}

void ConversionError::AddIndex(Py_ssize_t index) {
  std::string step = "[";
  step += std::to_string(index);
  step += ']';
  steps_.push_back(std::move(step));
}

void ConversionError::AddKey(PyObject* key) {
  // str's own repr (never a subclass's Python code), with the exception of
  // the failure kept aside meanwhile.
  PyRef pending = FetchException();
  PyRef repr = PyRef::Steal(PyUnicode_Type.tp_repr(key));
  std::string text;
  if (repr && PyUnicode_Check(repr.get())) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &n);
    if (utf8 != nullptr) text.assign(utf8, static_cast<size_t>(n));
  }
  PyErr_Clear();
  if (pending) RestoreException(std::move(pending));
  std::string step = "[";
  step += text.empty() ? std::string_view("?") : std::string_view(text);
  step += ']';
  steps_.push_back(std::move(step));
}

std::string ConversionError::Path(std::string_view root) const {
  std::string path(root);
  for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) path += *it;
  return path;
}

Status ConversionError::ToStatus(std::string_view root) const {
  Status s = Status::Unconvertible(std::string(kUnwrapErrPrefix) + Debug());
  if (steps_.empty() || root.empty()) return s;
  return std::move(s).WithNote("in " + Path(root));
}

std::string ExceptionDebug(PyObject* exception) {
  assert(PyExceptionInstance_Check(exception));
  std::string out = "PyErr { type: ";
  out += Repr(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  out += ", value: ";
  out += Repr(exception);
  out += ", traceback: ";
  PyRef tb = PyRef::Steal(PyException_GetTraceback(exception));
  if (tb && tb.get() != Py_None) {
    out += "Some(" + Repr(tb.get()) + ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

ConversionError ConversionError::FetchPython() {
  assert(PyErr_Occurred());
  ConversionError e;
  e.kind_ = Kind::kPyErr;
  e.exception_ = FetchException();
  return e;
}

ConversionError ConversionError::Interrupted() {
  ConversionError e = FetchPython();
  e.kind_ = Kind::kInterrupted;
  return e;
}

ConversionError ConversionError::Message(std::string text) {
  ConversionError e;
  e.kind_ = Kind::kMessage;
  e.text_ = std::move(text);
  return e;
}

ConversionError ConversionError::UnsupportedType(std::string type_name) {
  ConversionError e;
  e.kind_ = Kind::kUnsupportedType;
  e.text_ = std::move(type_name);
  return e;
}

ConversionError ConversionError::UnexpectedType(std::string text) {
  ConversionError e;
  e.kind_ = Kind::kUnexpectedType;
  e.text_ = std::move(text);
  return e;
}

ConversionError ConversionError::IncorrectSequenceLength(Py_ssize_t expected, Py_ssize_t got) {
  ConversionError e;
  e.kind_ = Kind::kIncorrectSequenceLength;
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

std::string ConversionError::Debug() const {
  switch (kind_) {
    case Kind::kInterrupted:  // not shown: the call ends with the exception itself
    case Kind::kPyErr:
      if (!exception_) return "PyErr(<no exception>)";
      return "PyErr(" + ExceptionDebug(exception_.get()) + ")";
    case Kind::kMessage:
      return "Message(" + DebugQuote(text_) + ")";
    case Kind::kUnsupportedType:
      return "UnsupportedType(" + DebugQuote(text_) + ")";
    case Kind::kUnexpectedType:
      return "UnexpectedType(" + DebugQuote(text_) + ")";
    case Kind::kIncorrectSequenceLength:
      return "IncorrectSequenceLength { expected: " + std::to_string(expected_) +
             ", got: " + std::to_string(got_) + " }";
  }
  return {};
}

void RestoreException(PyRef exception) {
  assert(!PyErr_Occurred());
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* e = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(e))), e, PyException_GetTraceback(e));
#endif
}

}  // namespace moxal
