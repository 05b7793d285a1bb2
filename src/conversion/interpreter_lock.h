// Letting go of the interpreter lock and taking it back, and threads that
// the interpreter ends while it shuts down.
//
// Once the interpreter has begun to shut down, a thread other than the one
// shutting it down that asks for the lock is ended by the interpreter
// (Python 3.11 to 3.13 call pthread_exit), which unwinds the thread's stack
// like an exception. Unwound through this module's frames, that would end
// the process (std::terminate, when a frame that may not throw is met:
// every destructor) or run destructors that touch Python objects without
// the lock. So no frame of this module is unwound that way: a thread that
// would be ended is parked instead, blocked for good with whatever it
// holds, as Python 3.14 itself does with such threads, and its call never
// returns. That covers each place a call takes the lock back, and each
// call into Python code of the program (which may let go of the lock and
// ask for it again), through ParkIfEnded.

#ifndef MOXAL_CONVERSION_INTERPRETER_LOCK_H_
#define MOXAL_CONVERSION_INTERPRETER_LOCK_H_

#include <utility>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace moxal {

// Blocks the calling thread for good. It must hold no lock another thread
// could want: the interpreter lock, and every mutex, are let go of first.
[[noreturn]] void ParkThread();

// Whether the interpreter has begun to shut down: from then on no thread but
// the one shutting it down gets the interpreter lock.
bool InterpreterShuttingDown();

// Returns call(), a call into the interpreter that may ask for the lock
// (again); when the interpreter ends the thread meanwhile, parks it there.
template <class Call>
decltype(auto) ParkIfEnded(Call&& call) {
  try {
    return std::forward<Call>(call)();
  } catch (...) {
    // The interpreter's calls throw nothing but the forced unwind of
    // pthread_exit (caught as `...`: its object is no C++ object to bind
    // to). Not rethrown, and never left: the thread stays here.
    ParkThread();
  }
}

// PyEval_SaveThread: lets go of the lock held by this thread, returning
// its state for RetakeInterpreterLock.
inline PyThreadState* ReleaseInterpreterLock() { return PyEval_SaveThread(); }

// PyEval_RestoreThread, parking the thread if the interpreter is shutting
// down. Never call it from a destructor: only the unwinding of a thread
// that is not parked could pass through one, and this never unwinds.
void RetakeInterpreterLock(PyThreadState* state);

// PyErr_CheckSignals (the handlers run only on the main thread): false with
// the exception set when a handler raised one.
inline bool CheckSignals() {
  return ParkIfEnded([] { return PyErr_CheckSignals(); }) == 0;
}

}  // namespace moxal

#endif  // MOXAL_CONVERSION_INTERPRETER_LOCK_H_
