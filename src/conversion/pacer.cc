#include "conversion/pacer.h"

#include <time.h>

namespace moxal {

namespace {

constexpr int64_t kDefaultSwitchIntervalNs = 5'000'000;

// How long the lock stays free at a pause: long enough for a thread that
// waits for it to be woken and take it (tens of microseconds on an idle
// core), short enough to cost little at one pause per switch interval.
constexpr long kPauseNs = 50'000;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// sys.getswitchinterval(), read without running Python code.
int64_t SwitchIntervalNs() {
#if PY_VERSION_HEX < 0x030D0000
  return static_cast<int64_t>(_PyEval_GetSwitchInterval()) * 1000;
#else
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed, a builtin
  if (get == nullptr || !PyCFunction_Check(get)) return kDefaultSwitchIntervalNs;
  PyRef seconds = PyRef::Steal(PyObject_CallNoArgs(get));
  double s = seconds ? PyFloat_AsDouble(seconds.get()) : -1;
  if (s <= 0) {
    PyErr_Clear();
    return kDefaultSwitchIntervalNs;
  }
  return static_cast<int64_t>(s * 1e9);
#endif
}

// Whether this thread is the only one of the only interpreter: nobody can
// be waiting for the lock then. Reads only the list heads and this thread's
// own state, which nothing frees meanwhile.
bool AloneInProcess() {
  PyThreadState* self = PyThreadState_Get();
  PyInterpreterState* interp = PyThreadState_GetInterpreter(self);
  return PyInterpreterState_ThreadHead(interp) == self && PyThreadState_Next(self) == nullptr &&
         PyInterpreterState_Head() == interp && PyInterpreterState_Next(interp) == nullptr;
}

}  // namespace

bool Pacer::Look() {
  countdown_ = steps_per_look_;
  int64_t now = NowNs();
  if (next_pause_ns_ == 0) {
    next_pause_ns_ = now + SwitchIntervalNs();
    return true;
  }
  if (now < next_pause_ns_) return true;
  if (!CheckSignals()) return false;
  LetOthersRun();
  next_pause_ns_ = NowNs() + SwitchIntervalNs();
  return true;
}

bool Pacer::CheckSignals() { return moxal::CheckSignals(); }

void Pacer::LetOthersRun() {
  if (AloneInProcess()) return;
  // Other threads run with the program's setting of the collector, and the
  // pause resumes with what it is when the lock comes back.
  if (collector_paused_ && collector_was_enabled_) PyGC_Enable();
  PyThreadState* state = ReleaseInterpreterLock();
  timespec pause = {0, kPauseNs};
  nanosleep(&pause, nullptr);
  RetakeInterpreterLock(state);
  if (collector_paused_) collector_was_enabled_ = PyGC_Disable() == 1;
}

void Pacer::PauseCollector() {
  collector_paused_ = true;
  collector_was_enabled_ = PyGC_Disable() == 1;
}

void Pacer::ResumeCollector() {
  collector_paused_ = false;
  if (collector_was_enabled_) PyGC_Enable();
}

}  // namespace moxal
