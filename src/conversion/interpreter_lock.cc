#include "conversion/interpreter_lock.h"

#include <unistd.h>

#include "conversion/py_ref.h"

namespace moxal {

void ParkThread() {
  for (;;) ::pause();  // returns after each signal handled on this thread
}

bool InterpreterShuttingDown() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void DropLastRef(PyObject* o) {
  ParkIfEnded([o] { Py_DECREF(o); });
}

void RetakeInterpreterLock(PyThreadState* state) {
  // Only the interpreter knows which thread shuts it down (and may go on):
  // it decides, and ends the others here.
  ParkIfEnded([state] { PyEval_RestoreThread(state); });
}

}  // namespace moxal
