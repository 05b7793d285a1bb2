// Borrowing a Moxal object for one call, from one thread or several.
//
// A call goes through three phases, in this order:
//
//   1. with the interpreter lock: convert the arguments, which may run
//      Python code of the program (a user's Mapping, say);
//   2. without it: the work on the database;
//   3. with it again: build the result, running no Python code of the
//      program (the collector is paused; only a signal handler may run).
//
// The call enters the object (Enter) before phase 1 and takes it (Take)
// when phase 2 begins, holding it to the end of the call: calls on one
// object do their work and build their results one at a time, and no
// thread waits for a call that is still converting (whose Python code
// could be waiting for that very thread, or be as slow as it likes).
// Phases 1 and 3 let other threads run every switch interval (pacer.h),
// and phase 2 runs without the lock, so other threads' calls meet the
// object taken. They wait for it, without the interpreter lock, and are
// served in the order they came to take it: a call that finds others
// waiting queues behind them even when the object is free, and the call
// that frees it hands it to the first of them.
//
// A call entered from a thread that is already inside a call on the same
// object (Python code that a conversion, a finalizer or a signal handler
// runs, calling back) is refused at once, as waiting for itself would
// never end: an exclusive borrow with "Already borrowed", a shared one
// with "Already mutably borrowed" when an exclusive call of the thread is
// inside; shared borrows of one thread that took the object nest.
//
// A waiter also stops with KeyboardInterrupt (or whatever a signal handler
// raised), and, in the thread that shuts the interpreter down, with the
// borrow error: the holder is a daemon thread that will not run again.
// Nothing else ends a wait: a signal handler that runs in phase 3 and waits
// for another thread's call on the object would wait for good, as with any
// lock the interrupted code holds.

#ifndef MOXAL_PYTHON_BORROW_H_
#define MOXAL_PYTHON_BORROW_H_

#include <cassert>

#include "conversion/pacer.h"
#include "python/moxal_object.h"

namespace moxal {

enum class Access { kShared, kExclusive };

// A borrow of `self` for the length of one call. Once entered it also holds
// a reference to the object, so the object outlives the call even if
// Python code run by a conversion drops every other reference.
class Borrow {
 public:
  Borrow(MoxalObject* self, Access access) : self_(self), access_(access) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();

  // Enters the call, before its conversions. False with RuntimeError set
  // when this thread is inside a call on the object already (see above).
  bool Enter();

  // Takes the object for the call's work, waiting for other threads' calls
  // as the rules above say. Only once entered; a nested shared call of the
  // thread that holds the object takes it at once. False with the exception
  // set: what a signal handler raised while waiting (KeyboardInterrupt), or
  // the borrow error at shutdown.
  bool Take();

  bool taken() const { return taken_; }

  // In a forked child: forgets the calls of `self` entered by other
  // threads, which the child does not have.
  static void ForgetOtherThreads(MoxalObject* self);

  // Paces the call's conversions (phases 1 and 3).
  Pacer* pacer() { return &pacer_; }

 private:
  void TakeFree();
  bool Wait();
  void Unlink();
  bool Refuse(bool mutably);

  MoxalObject* self_;
  Access access_;
  bool entered_ = false;
  bool taken_ = false;
  // Once entered: the calling thread, and the links of the object's list of
  // entered calls (moxal_object.h), by which Enter finds the thread's own.
  pthread_t thread_{};
  Borrow* prev_ = nullptr;
  Borrow* next_ = nullptr;
  Pacer pacer_;
};

// Keeps track of live instances, so that a forked child can free the
// borrows of threads it does not have.
void RegisterInstance(MoxalObject* self);
void UnregisterInstance(MoxalObject* self);

}  // namespace moxal

#endif  // MOXAL_PYTHON_BORROW_H_
