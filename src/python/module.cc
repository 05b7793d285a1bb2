// The extension module `moxal`: the class Moxal, the exception PanicException,
// __version__ and __all__.

#include "conversion/py_ref.h"
#include "python/methods.h"
#include "python/raise.h"

#ifndef MOXAL_VERSION
#error "MOXAL_VERSION must be defined by the build (the package's version)"
#endif

namespace moxal {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "moxal",
    "An embedded JSON document database: collections in memory, "
    "$-operator queries, atomic writes to disk.",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module is made once, for the first interpreter that imports it; the
// class it holds is a process-wide object, so other interpreters are turned
// away.
PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

PyObject* Init() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter != -1 && g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "moxal can be imported by one interpreter per process only");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyRef module = PyRef::Steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyObject* type = MoxalType();
  if (type == nullptr) return nullptr;
  PyObject* panic = PanicExceptionType();
  if (panic == nullptr) return nullptr;
  PyRef all = PyRef::Steal(Py_BuildValue("[s]", "Moxal"));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Moxal", type) < 0) return nullptr;
  // The class that internal failures are raised as, so callers can name it
  // in an except clause; it stays out of __all__, like __version__.
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", MOXAL_VERSION) < 0) return nullptr;
  g_interpreter = id;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace moxal

PyMODINIT_FUNC PyInit_moxal(void) { return moxal::Init(); }
