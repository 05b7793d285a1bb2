#include "python/raise.h"

#include <cassert>
#include <cerrno>

#include "conversion/conversion_error.h"

namespace moxal {

PyObject* NewPanicException() {
  return PyErr_NewExceptionWithDoc(
      "moxal.PanicException",
      "An internal failure of moxal: an operation met a state it treats as "
      "impossible.\n\nIt derives from BaseException, so a handler for "
      "Exception does not catch it.",
      PyExc_BaseException, nullptr);
}

PyObject* NewConcurrentWriteWarning() {
  return PyErr_NewExceptionWithDoc(
      "moxal.ConcurrentWriteWarning",
      "A collection file is about to be replaced although somebody else (another\n"
      "process, or a person) wrote it since this Moxal object last read or wrote\n"
      "it: what they wrote is lost once it is replaced.\n\n"
      "Given by write and write_all before the file is replaced, so a filter of\n"
      "\"error\" for this class keeps the file as it is.",
      PyExc_UserWarning, nullptr);
}

bool WarnOfChangedFiles(const ModuleState& state, PyObject* paths) {
  if (state.concurrent_write_warning == nullptr) return true;  // interpreter shutdown
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
    if (PyErr_WarnFormat(state.concurrent_write_warning, 1,
                         "%U was changed by somebody else since this Moxal object last read or "
                         "wrote it: writing replaces it, and what they wrote is lost",
                         PyList_GET_ITEM(paths, i)) < 0) {
      return false;
    }
  }
  return true;
}

PyObject* ExceptionTypeForErrno(int err) {
  switch (err) {
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EINTR:
      return PyExc_InterruptedError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    default:
      return PyExc_OSError;
  }
}

namespace {

// A new exception instance of `type` with the one argument `message`, so
// OSError's errno, strerror and filename stay None; null with the error set
// when it cannot be made.
PyRef NewException(PyObject* type, const std::string& message) {
  PyRef text = PyRef::Steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
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

// The exception type each kind of error is raised as: the one table where
// what went wrong meets Python's exceptions. Null only for PanicException
// when the module's state was cleared (at the interpreter's shutdown).
PyObject* ExceptionTypeFor(const ModuleState& state, const Status& status) {
  switch (status.kind()) {
    case ErrorKind::kInvalidArgument:
    case ErrorKind::kNotFound:
    case ErrorKind::kInvalidQuery:
    case ErrorKind::kInvalidDocument:
    case ErrorKind::kTooDeep:
      return PyExc_ValueError;
    // Producing a collection file's text fails only when writing it does
    // (the text of a document value always exists); callers have always
    // caught that as the ValueError of a failed serialization, so it stays
    // one. Its message is fixed; the file is in the note.
    case ErrorKind::kWriteFailed:
      return PyExc_ValueError;
    // Failures callers cannot act on in their own code, raised as the
    // internal failure that an `except Exception` does not swallow: a query
    // that does not parse (a program bug, not a data condition), a Python
    // value no document value stands for, a file name that is not UTF-8 (a
    // listing cannot return it as str), and a failure of the very last
    // write of a collection file, which is reported as the unchecked result
    // it once was, so programs that handle it keep working.
    case ErrorKind::kQuerySyntax:
    case ErrorKind::kUnconvertible:
    case ErrorKind::kNotUtf8:
    case ErrorKind::kFlushFailed:
    case ErrorKind::kInternal:
      return state.panic_exception;
    case ErrorKind::kOpenFailed:
    case ErrorKind::kStorageFailed:
      return PyExc_OSError;  // one argument: errno and filename stay None
    case ErrorKind::kSystem:
      return ExceptionTypeForErrno(status.os_errno());
    case ErrorKind::kOk:
      break;
  }
  return PyExc_SystemError;
}

// The message of the exception `status` stands for: its own message, or,
// for an internal failure with a cause, the unwrap prefix and a
// description of that cause, such as
//   PyErr { type: <class 'ValueError'>, value: ValueError("..."), traceback: None }
// False with the error set when the description cannot be made.
bool ExceptionMessage(const ModuleState& state, const Status& status, std::string* text) {
  const Status* cause = status.cause();
  if (cause == nullptr) {
    *text = status.message();
    return true;
  }
  PyObject* cause_type = ExceptionTypeFor(state, *cause);
  if (cause_type == nullptr) cause_type = PyExc_BaseException;  // only named in the text
  PyRef exc = NewException(cause_type, cause->message());
  if (!exc) return false;
  *text = std::string(kUnwrapErrPrefix) + ExceptionDebug(exc.get());
  return true;
}

}  // namespace

PyObject* Raise(const ModuleState& state, const Status& status) {
  assert(!status.ok());
  if (status.ok()) {
    PyErr_SetString(PyExc_SystemError, "moxal: raising a success");
    return nullptr;
  }
  PyObject* type = ExceptionTypeFor(state, status);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "moxal: the module is gone (interpreter shutdown)");
    return nullptr;
  }
  std::string message;
  if (!ExceptionMessage(state, status, &message)) return nullptr;
  PyRef exc = NewException(type, message);
  if (!exc) return nullptr;
  if (!status.note().empty() && !AddNote(exc.get(), status.note())) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace moxal
