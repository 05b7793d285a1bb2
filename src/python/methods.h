// The Moxal class.

#ifndef MOXAL_PYTHON_METHODS_H_
#define MOXAL_PYTHON_METHODS_H_

#include "conversion/py_ref.h"

namespace moxal {

// The class object, created once per process on first need; null (with an
// exception set) if that fails. Borrowed reference.
PyObject* MoxalType();

}  // namespace moxal

#endif  // MOXAL_PYTHON_METHODS_H_
