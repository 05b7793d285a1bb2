// Pacing a long conversion that holds the interpreter lock.
//
// Converting arguments to documents and building result lists need the
// interpreter lock, and a large one takes long (a million documents, most
// of a second). The interpreter itself hands the lock to a waiting thread
// every switch interval (sys.getswitchinterval(), 5 ms unless the program
// sets another); a conversion does the same through a Pacer. It counts the
// steps it takes (values, documents), looks at the clock every few dozen or
// hundred of them, and about once per switch interval handles pending
// signals (Ctrl-C) and, when the interpreter has other threads, lets go of
// the lock for a moment.
//
// A thread that lets go of the lock and asks for it again at once would
// mostly get it back before a woken waiter runs, and the waiter would then
// wait a whole switch interval again: so the lock is left free long enough
// for a waiter to wake up and take it.

#ifndef MOXAL_CONVERSION_PACER_H_
#define MOXAL_CONVERSION_PACER_H_

#include <cstdint>

#include "conversion/py_ref.h"

namespace moxal {

class Pacer {
 public:
  Pacer() = default;
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  // Starts a conversion whose steps take about the same time each: the
  // clock is read every `steps_per_look` of them, and the next pause comes a
  // switch interval after the first look.
  void Start(uint32_t steps_per_look) {
    steps_per_look_ = steps_per_look;
    countdown_ = steps_per_look;
    next_pause_ns_ = 0;
  }

  // One step more. False, with the exception set, when a signal handler
  // raised one: the conversion ends there.
  bool Step() {
    if (--countdown_ != 0) return true;
    return Look();
  }

  // Runs the handlers of pending signals now. False with the exception set
  // when one raised it.
  bool CheckSignals();

  // Pauses the cyclic collector until ResumeCollector, which restores the
  // program's setting; while paused, each pause of the conversion restores
  // that setting for the other threads, and reads it again after.
  void PauseCollector();
  void ResumeCollector();

 private:
  bool Look();
  void LetOthersRun();

  uint32_t steps_per_look_ = 256;
  uint32_t countdown_ = 256;
  int64_t next_pause_ns_ = 0;  // 0: not yet timed
  bool collector_paused_ = false;
  bool collector_was_enabled_ = false;
};

// Pauses the collector through `pacer` for the life of the guard.
class CollectorPause {
 public:
  explicit CollectorPause(Pacer* pacer) : pacer_(pacer) { pacer_->PauseCollector(); }
  ~CollectorPause() { pacer_->ResumeCollector(); }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  Pacer* pacer_;
};

}  // namespace moxal

#endif  // MOXAL_CONVERSION_PACER_H_
