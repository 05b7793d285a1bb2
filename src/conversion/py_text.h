// Python objects as text for messages.

#ifndef MOXAL_CONVERSION_PY_TEXT_H_
#define MOXAL_CONVERSION_PY_TEXT_H_

#include <string>

#include "conversion/py_ref.h"

namespace moxal {

// The UTF-8 text of str `s`; "?" when it cannot be encoded (a lone
// surrogate). Never leaves an exception set.
std::string Utf8(PyObject* s);

// The name of `o`'s type, as type(o).__name__ gives it; the type's C-level
// name when that cannot be had. Never leaves an exception set.
std::string TypeName(PyObject* o);

// type(o).__qualname__; "unknown" when it cannot be had.
std::string QualifiedTypeName(PyObject* o);

// repr(o); "<unprintable>" when the repr fails.
std::string Repr(PyObject* o);

}  // namespace moxal

#endif  // MOXAL_CONVERSION_PY_TEXT_H_
