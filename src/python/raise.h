// Turning a Status into the Python exception it names: the one place where
// error kinds meet exception types.

#ifndef MOXAL_PYTHON_RAISE_H_
#define MOXAL_PYTHON_RAISE_H_

#include <string>

#include "conversion/py_ref.h"
#include "python/module_state.h"
#include "values/status.h"

namespace moxal {

// A new class PanicException (moxal.PanicException), which carries internal
// failures; each module object makes its own. It derives from
// BaseException, so `except Exception` does not catch it. Null with the
// exception set if it cannot be made.
PyObject* NewPanicException();

// A new class ConcurrentWriteWarning (moxal.ConcurrentWriteWarning), a
// UserWarning, which write and write_all give before replacing a collection
// file that somebody else wrote since the object last read or wrote it.
// Each module object makes its own. Null with the exception set if it
// cannot be made.
PyObject* NewConcurrentWriteWarning();

// Gives a ConcurrentWriteWarning of `state` for each path of `paths` (a
// list of str), attributed to the caller's line. False with the exception
// set when a warning was turned into an exception (a filter of "error"),
// or could not be given.
bool WarnOfChangedFiles(const ModuleState& state, PyObject* paths);

// Sets the exception `status` stands for and returns null, so wrappers can
// `return Raise(state, status);`; `state` is that of the module whose
// method fails, which has the PanicException to raise. The kinds map to ValueError, OSError (one
// argument: errno, strerror and filename are None), the OSError subclass
// of an error number (PermissionError, FileNotFoundError, ...), or
// PanicException (raise.cc has the table, and why). An internal failure
// made by Status::InternalFrom carries a description of its cause:
//   PyErr { type: <class 'ValueError'>, value: ValueError("..."), traceback: None }
// A status with a note (the file an operation was reading or writing) gets
// it as the exception's note (BaseException.add_note).
PyObject* Raise(const ModuleState& state, const Status& status);

// The exception type for an operating-system error number.
PyObject* ExceptionTypeForErrno(int err);

}  // namespace moxal

#endif  // MOXAL_PYTHON_RAISE_H_
