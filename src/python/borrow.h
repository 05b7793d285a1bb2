// Borrowing a Moxal object for one call, from one thread or several.
//
// A call borrows its object, exclusively or shared (write, write_all and
// collections), for its whole length, so calls on one object run one at a
// time. A call goes through three phases, in this order:
//
//   1. with the interpreter lock: convert the arguments, which may run
//      Python code of the program (a user's Mapping, say);
//   2. without it: the work on the database (MarkWaitable comes first);
//   3. with it again: build the result, running no Python code of the
//      program (the collector is paused; only a signal handler may run).
//
// Phases 1 and 3 let other threads run every switch interval (pacer.h),
// and phase 2 runs without the lock, so other threads' calls on the object
// meet it borrowed. They wait for it, without the interpreter lock, and are
// served in the order they came: a call that finds others waiting queues
// behind them even when the object is free, and the call that frees it
// hands it to the first of them.
//
// Two cases do not wait:
//  - Re-entry: a call from the thread whose call holds the object (Python
//    code that a conversion or a signal handler runs, calling back) gets
//    the borrow error at once, as waiting for itself would never end: an
//    exclusive borrow is refused with "Already borrowed", a shared one with
//    "Already mutably borrowed" when the holder is exclusive; shared
//    borrows of one thread nest.
//  - Possible deadlock: while the holder is not waitable (phase 1, or a
//    signal handler in phase 3) it runs Python code of the program, which
//    may itself be waiting for the waiting thread (joining it, say). A
//    waiter watches the holder's conversion and gives up with the borrow
//    error when it has converted nothing for kStallLimit. Conversions of the
//    built-in types run no Python code and never let other threads in but
//    through the pacer, which marks the holder waitable while it waits: so
//    such a holder is never seen running Python code.
// A waiter also stops with KeyboardInterrupt (or whatever a signal handler
// raised), and, in the thread that shuts the interpreter down, with the
// borrow error: the holder is a daemon thread that will not run again.

#ifndef MOXAL_PYTHON_BORROW_H_
#define MOXAL_PYTHON_BORROW_H_

#include <cassert>

#include "conversion/pacer.h"
#include "python/moxal_object.h"

namespace moxal {

enum class Access { kShared, kExclusive };

// A borrow of `self` for the length of one call. It also holds a reference
// to the object, so the object outlives the call even if Python code run by
// a conversion drops every other reference.
class Borrow {
 public:
  Borrow(MoxalObject* self, Access access)
      : self_(self), access_(access), pacer_(&self->waitable) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();

  // Takes the borrow, waiting where the rules above say so. False with the
  // exception set: RuntimeError for a refused borrow, or what a signal
  // handler raised while waiting (KeyboardInterrupt).
  bool Take();

  // The call enters phase 2: from now on, other threads' calls wait for it
  // without watching it. Only for a borrow taken.
  void MarkWaitable() {
    assert(taken_);
    self_->waitable = true;
  }

  // Paces the call's conversions (phases 1 and 3), marking the holder
  // waitable while it lets other threads run.
  Pacer* pacer() { return &pacer_; }

 private:
  struct Watch;

  void TakeFree();
  bool Wait();
  bool GiveUp(Watch* watch);
  bool Refuse();

  MoxalObject* self_;
  Access access_;
  bool taken_ = false;
  Pacer pacer_;
};

// Keeps track of live instances, so that a forked child can free the
// borrows of threads it does not have.
void RegisterInstance(MoxalObject* self);
void UnregisterInstance(MoxalObject* self);

}  // namespace moxal

#endif  // MOXAL_PYTHON_BORROW_H_
