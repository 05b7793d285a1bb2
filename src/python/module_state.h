// The state of one moxal module object: what used to be kept for the whole
// process, kept per module, so that every interpreter that imports moxal has
// its own class, exception and cached objects (Python objects must not pass
// from one interpreter to another).

#ifndef MOXAL_PYTHON_MODULE_STATE_H_
#define MOXAL_PYTHON_MODULE_STATE_H_

#include <cassert>
#include <type_traits>

#include "conversion/py_ref.h"
#include "conversion/to_value.h"

namespace moxal {

// Strong references, set when the module is executed (the cached objects
// of `conversion` on first need) and dropped when it is cleared. Lives in
// the module object's state memory, which the interpreter allocates zeroed.
// A Moxal object holds its class, and the class its module, so the state
// outlives every object whose methods use it; only the interpreter's
// shutdown may clear it while objects still exist (a __del__ calling a
// method then): users of a field allow for it being null.
struct ModuleState {
  PyObject* moxal_type;                // the class Moxal
  PyObject* panic_exception;           // PanicException
  PyObject* concurrent_write_warning;  // ConcurrentWriteWarning
  ConversionState conversion;
};

// Zeroed memory is an empty state: no constructor needs to run.
static_assert(std::is_trivial_v<ModuleState> && std::is_standard_layout_v<ModuleState>);

// The state of a moxal module object.
inline ModuleState* StateOfModule(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  assert(state != nullptr);
  return state;
}

// The state of the module that defined `type`, the class Moxal of some
// moxal module. The class cannot be subclassed, so the type of a Moxal
// object is always its defining class, and this finds the state from any
// instance.
inline ModuleState* StateOfClass(PyTypeObject* type) {
  auto* state = static_cast<ModuleState*>(PyType_GetModuleState(type));
  assert(state != nullptr);
  assert(state->moxal_type == nullptr || state->moxal_type == reinterpret_cast<PyObject*>(type));
  return state;
}

}  // namespace moxal

#endif  // MOXAL_PYTHON_MODULE_STATE_H_
