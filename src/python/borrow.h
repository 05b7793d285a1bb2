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
// A call that wants a borrowed object meets one of two cases:
//  - the holding call has reached phase 2 (it is waitable): it runs no
//    more Python code of the program, so it cannot be waiting for this
//    call's thread; the new call waits for the borrow to be free, without
//    the interpreter lock, and then takes it;
//  - the holding call is still in phase 1, or the new call comes from the
//    holder's own thread: this is re-entry from Python code that runs during
//    the holding call, possibly in another thread it started or switched
//    to. Waiting could deadlock (that code may be joining the very thread
//    that would wait), so the borrow rules decide at once: an exclusive
//    borrow is refused with "Already borrowed", a shared one with "Already
//    mutably borrowed" when the holder is exclusive; shared borrows of one
//    thread nest.
// Shared calls convert nothing that can run Python code, so they are
// waitable as soon as they hold the borrow.

#ifndef MOXAL_PYTHON_BORROW_H_
#define MOXAL_PYTHON_BORROW_H_

#include <cassert>

#include "python/moxal_object.h"

namespace moxal {

enum class Access { kShared, kExclusive };

// A borrow of `self` for the length of one call. It also holds a reference
// to the object, so the object outlives the call even if Python code run by
// a conversion drops every other reference.
class Borrow {
 public:
  Borrow(MoxalObject* self, Access access) : self_(self), access_(access) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();

  // Takes the borrow, waiting where the rules above say so. False with the
  // exception set: RuntimeError for a refused borrow, or what a signal
  // handler raised while waiting (KeyboardInterrupt).
  bool Take();

  // The call enters phase 2: from now on, other threads' calls wait for it.
  // Only for a borrow taken.
  void MarkWaitable() {
    assert(taken_);
    self_->waitable = true;
  }

 private:
  bool Wait();

  MoxalObject* self_;
  Access access_;
  bool taken_ = false;
};

// Keeps track of live instances, so that a forked child can free the
// borrows of threads it does not have.
void RegisterInstance(MoxalObject* self);
void UnregisterInstance(MoxalObject* self);

}  // namespace moxal

#endif  // MOXAL_PYTHON_BORROW_H_
