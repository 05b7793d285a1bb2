// The extension module `moxal`: the class Moxal, the exception
// PanicException, the warning ConcurrentWriteWarning, __version__ and
// __all__.
//
// The module is initialised in two phases, like CPython's own modules: the
// interpreter makes the module object with room for its state
// (module_state.h), then runs ExecModule on it. Every import into a new
// interpreter makes a module object of its own, with its own class and
// exception, so subinterpreters can import moxal.
//
// What stays process-wide is plain C++ state touched under the interpreter
// lock: the list of live instances and the fork handler (borrow.cc), and
// the fork handlers' one-time registration (work_guard.cc). That is safe for
// interpreters sharing one lock, which serialises them as it serialises
// threads; an interpreter with a lock of its own is refused (below).

#include "conversion/py_ref.h"
#include "db/index_set.h"
#include "python/methods.h"
#include "python/module_state.h"
#include "python/raise.h"
#include "storage/test_gate.h"

#ifndef MOXAL_VERSION
#error "MOXAL_VERSION must be defined by the build (the package's version)"
#endif

namespace moxal {
namespace {

int ExecModule(PyObject* module) {
  ModuleState* state = StateOfModule(module);
  state->moxal_type = NewMoxalType(module);
  if (state->moxal_type == nullptr) return -1;
  state->panic_exception = NewPanicException();
  if (state->panic_exception == nullptr) return -1;
  PyRef all = PyRef::Steal(Py_BuildValue("[s]", "Moxal"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  if (PyModule_AddObjectRef(module, "Moxal", state->moxal_type) < 0) return -1;
  // The class that internal failures are raised as, so callers can name it
  // in an except clause; it stays out of __all__, like __version__.
  if (PyModule_AddObjectRef(module, "PanicException", state->panic_exception) < 0) return -1;
  // The warning write gives of a file somebody else wrote; likewise out of
  // __all__.
  state->concurrent_write_warning = NewConcurrentWriteWarning();
  if (state->concurrent_write_warning == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "ConcurrentWriteWarning", state->concurrent_write_warning) <
      0) {
    return -1;
  }
  if (PyModule_AddStringConstant(module, "__version__", MOXAL_VERSION) < 0) return -1;
  return 0;
}

// The class holds its module and the module's state holds the class: the
// cyclic collector sees both sides.
int TraverseModule(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = StateOfModule(module);
  Py_VISIT(state->moxal_type);
  Py_VISIT(state->panic_exception);
  Py_VISIT(state->concurrent_write_warning);
  return TraverseConversionState(state->conversion, visit, arg);
}

int ClearModule(PyObject* module) {
  ModuleState* state = StateOfModule(module);
  Py_CLEAR(state->moxal_type);
  Py_CLEAR(state->panic_exception);
  Py_CLEAR(state->concurrent_write_warning);
  ClearConversionState(&state->conversion);
  return 0;
}

void FreeModule(void* module) { ClearModule(static_cast<PyObject*>(module)); }

// moxal._gate(name, action): the test gates (test_gate.h). "close" and
// "open" return None; "holding" and "passed" return counts. Private: for
// the project's tests, which hold a thread at a gate to check what other
// threads can do meanwhile.
PyObject* GateFunction(PyObject* /*module*/, PyObject* args) {
  const char* name;
  const char* action;
  if (!PyArg_ParseTuple(args, "ss:_gate", &name, &action)) return nullptr;
  Gate gate;
  if (!GateNamed(name, &gate)) return PyErr_Format(PyExc_ValueError, "no gate named '%s'", name);
  std::string_view a = action;
  if (a == "close") {
    CloseGate(gate);
  } else if (a == "open") {
    OpenGate(gate);
  } else if (a == "holding") {
    return PyLong_FromLong(GateHolding(gate));
  } else if (a == "passed") {
    return PyLong_FromUnsignedLongLong(GatePassed(gate));
  } else {
    return PyErr_Format(PyExc_ValueError, "no gate action '%s'", action);
  }
  Py_RETURN_NONE;
}

PyMethodDef kModuleMethods[] = {
    {"_gate", GateFunction, METH_VARARGS, "_gate(name, action)\n--\n\nTest gates."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
#if PY_VERSION_HEX >= 0x030C0000
    // Any number of interpreters, as long as they share one interpreter
    // lock: the process-wide state above relies on it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The borrow rules (borrow.h) rely on the lock too: a build of the
    // interpreter without it turns it back on for this module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "moxal",
    "An embedded JSON document database: collections in memory, "
    "$-operator queries, atomic writes to disk.",
    sizeof(ModuleState),
    kModuleMethods,
    kModuleSlots,
    TraverseModule,
    ClearModule,
    FreeModule,
};

}  // namespace
}  // namespace moxal

// The test build makes a second module of the same code, moxal_scan, which
// never uses indexes: the tests compare its answers with this one's.
#ifndef MOXAL_MODULE_INIT
#define MOXAL_MODULE_INIT PyInit_moxal
#endif

PyMODINIT_FUNC MOXAL_MODULE_INIT(void) {
#ifdef MOXAL_WITHOUT_INDEXES
  moxal::IndexSet::EnableForTesting(false);
#endif
  return PyModuleDef_Init(&moxal::kModule);
}
