#include "lib/raise.h"

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

void SetMessage(PyObject* type, const std::string& message) {
  PyRef text = PyRef::Steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decoding error stands instead
  // One positional argument, so OSError's errno/strerror stay None.
  PyRef exc = PyRef::Steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  PyErr_SetObject(type, exc.get());
}

}  // namespace

PyObject* Raise(const Status& status) {
  switch (status.kind()) {
    case ErrorKind::kOk:
      PyErr_SetString(PyExc_SystemError, "moxal: raising a success");
      break;
    case ErrorKind::kValueError:
      SetMessage(PyExc_ValueError, status.message());
      break;
    case ErrorKind::kOSError:
      SetMessage(PyExc_OSError, status.message());
      break;
    case ErrorKind::kOSErrorByErrno:
      SetMessage(ExceptionTypeForErrno(status.os_errno()), status.message());
      break;
    case ErrorKind::kPanicException:
      if (PyObject* type = PanicExceptionType()) SetMessage(type, status.message());
      break;
    case ErrorKind::kPythonSet:
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "moxal: error reported without an exception");
      }
      break;
  }
  return nullptr;
}

std::string DescribeAsException(const Status& status) {
  Raise(status);
  PyRef exc = FetchException();
  if (!exc) return status.message();
  return ExceptionDebug(exc.get());
}

}  // namespace moxal
