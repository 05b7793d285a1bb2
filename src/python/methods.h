// The Moxal class.

#ifndef MOXAL_PYTHON_METHODS_H_
#define MOXAL_PYTHON_METHODS_H_

#include "conversion/py_ref.h"

namespace moxal {

// A new class Moxal for the module object `module`, whose state its
// methods use (a new reference); null with the exception set if it cannot
// be made. Each module object (one per interpreter) makes its own.
PyObject* NewMoxalType(PyObject* module);

}  // namespace moxal

#endif  // MOXAL_PYTHON_METHODS_H_
