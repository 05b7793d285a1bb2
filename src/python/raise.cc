#include "python/raise.h"

#include <cerrno>

#include "conversion/conversion_error.h"

namespace moxal {

PyObject* PanicExceptionType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "moxal.PanicException",
        "An internal failure of moxal: an operation met a state it treats as "
        "impossible.\n\nIt derives from BaseException, so a handler for "
        "Exception does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* ExceptionTypeForErrno(int err) {
  switch (err) {
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ENOENT: return PyExc_FileNotFoundError;
    case EEXIST: return PyExc_FileExistsError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    default: return PyExc_OSError;
  }
}

namespace {

// A new exception instance of `type` with the one argument `message`, so
// OSError's errno, strerror and filename stay None; null with the error set
// when it cannot be made.
PyRef NewException(PyObject* type, const std::string& message) {
  PyRef text = PyRef::Steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return PyRef();
  return PyRef::Steal(PyObject_CallOneArg(type, text.get()));
}

// exc.add_note(note): the note shows under the message in tracebacks.
bool AddNote(PyObject* exc, const std::string& note) {
  PyRef text = PyRef::Steal(
      PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  if (!text) return false;
  PyRef result = PyRef::Steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
  return static_cast<bool>(result);
}

// The exception type `status` stands for (not kPythonSet).
PyObject* TypeOf(const Status& status) {
  switch (status.kind()) {
    case ErrorKind::kValueError: return PyExc_ValueError;
    case ErrorKind::kOSErrorByErrno: return ExceptionTypeForErrno(status.os_errno());
    case ErrorKind::kPanicException: return PanicExceptionType();
    case ErrorKind::kOSError: return PyExc_OSError;
    default: return PyExc_SystemError;
  }
}

// The text of an internal failure: its own message, or the unwrap prefix
// and a description of the error that caused it, such as
//   PyErr { type: <class 'ValueError'>, value: ValueError("..."), traceback: None }
// Null with the error set when the description cannot be made.
bool PanicText(const Status& status, std::string* text) {
  const Status* cause = status.cause();
  if (cause == nullptr) {
    *text = status.message();
    return true;
  }
  PyRef exc = NewException(TypeOf(*cause), cause->message());
  if (!exc) return false;
  *text = std::string(kUnwrapErrPrefix) + ExceptionDebug(exc.get());
  return true;
}

}  // namespace

PyObject* Raise(const Status& status) {
  if (status.kind() == ErrorKind::kPythonSet) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "moxal: error reported without an exception");
    }
    return nullptr;
  }
  if (status.ok()) {
    PyErr_SetString(PyExc_SystemError, "moxal: raising a success");
    return nullptr;
  }
  PyObject* type = TypeOf(status);
  if (type == nullptr) return nullptr;  // PanicException could not be made
  std::string message;
  if (!PanicText(status, &message)) return nullptr;
  PyRef exc = NewException(type, message);
  if (!exc) return nullptr;
  if (!status.note().empty() && !AddNote(exc.get(), status.note())) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace moxal
