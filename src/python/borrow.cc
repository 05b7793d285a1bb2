#include "python/borrow.h"

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "conversion/interpreter_lock.h"
#include "storage/test_gate.h"
#include "storage/work_guard.h"

namespace moxal {

// A thread waiting for an object's borrow, on its own stack. The links and
// `turn` are written under the interpreter lock and the waiters' mutex, and
// read under either.
struct BorrowWaiter {
  BorrowWaiter* next = nullptr;
  bool turn = false;  // the object is free and this waiter is first
  std::condition_variable cv;
};

namespace {

// Process-wide, for the objects of every interpreter. The waiters' mutex
// needs no interpreter lock. The instance list is read and written under
// the interpreter lock (and by the fork handler, in a child with one
// thread), which is safe only while every interpreter shares that lock:
// module.cc refuses interpreters with their own. Heap-allocated and never
// destroyed, so a thread still waiting at exit finds it intact.
std::mutex* g_wait_mutex = new std::mutex;

// How often a waiting thread takes the interpreter lock to look for signals
// (Ctrl-C), for a holder that makes no progress, and for the shutdown.
constexpr auto kCheckInterval = std::chrono::milliseconds(50);

// How long a waiter lets a holder run Python code of the program without
// converting anything before it gives up: long next to any step of a
// conversion, short enough that a deadlock ends soon.
constexpr auto kStallLimit = std::chrono::seconds(1);

MoxalObject* g_instances = nullptr;

bool FreeOrHeldByThisThread(const MoxalObject* self) {
  return self->borrow == 0 || pthread_equal(self->owner, pthread_self());
}

// Gives the first waiter its turn when the object is free. Under the
// interpreter lock.
void ServeFirst(MoxalObject* self) {
  if (self->borrow != 0 || self->first == nullptr || self->first->turn) return;
  std::lock_guard<std::mutex> lock(*g_wait_mutex);
  self->first->turn = true;
  self->first->cv.notify_one();
}

void Enqueue(MoxalObject* self, BorrowWaiter* w) {
  std::lock_guard<std::mutex> lock(*g_wait_mutex);
  if (self->last != nullptr) {
    self->last->next = w;
  } else {
    self->first = w;
  }
  self->last = w;
}

// Takes `w` out of the queue; the next one gets its turn if the object is
// free. Under the interpreter lock.
void Dequeue(MoxalObject* self, BorrowWaiter* w) {
  {
    std::lock_guard<std::mutex> lock(*g_wait_mutex);
    BorrowWaiter** link = &self->first;
    BorrowWaiter* before = nullptr;
    while (*link != w) {
      before = *link;
      link = &(*link)->next;
    }
    *link = w->next;
    if (self->last == w) self->last = before;
  }
  ServeFirst(self);
}

// In a forked child: the borrows held by threads the child does not have
// are freed (their work was complete or not yet begun: see work_guard.h),
// their waiters are gone, and the waiters' lock is made anew, as its holder
// may be gone.
void ResetInChild() {
  for (MoxalObject* o = g_instances; o != nullptr; o = o->next) {
    if (!FreeOrHeldByThisThread(o)) {
      o->borrow = 0;
      o->waitable = false;
      o->progress = nullptr;
    }
    o->first = nullptr;
    o->last = nullptr;
  }
  g_wait_mutex = new std::mutex;
}

}  // namespace

// What a waiter saw of a holder that runs Python code of the program.
struct Borrow::Watch {
  bool watching = false;
  uint64_t takes = 0;
  uint64_t steps = 0;
  std::chrono::steady_clock::time_point since;
};

bool Borrow::Take() {
  assert(!taken_);
  if (self_->borrow != 0 && pthread_equal(self_->owner, pthread_self())) {
    if (access_ == Access::kExclusive || self_->borrow == -1) return Refuse();
    ++self_->borrow;  // shared borrows of one thread nest
  } else if (self_->borrow != 0 || self_->first != nullptr) {
    if (!Wait()) return false;
  } else {
    TakeFree();
  }
  Py_INCREF(self_);
  taken_ = true;
  return true;
}

void Borrow::TakeFree() {
  assert(self_->borrow == 0);
  self_->borrow = access_ == Access::kExclusive ? -1 : 1;
  self_->owner = pthread_self();
  // Shared calls convert nothing that can run Python code.
  self_->waitable = access_ == Access::kShared;
  self_->progress = pacer_.steps();
  ++self_->takes;
}

bool Borrow::Refuse() {
  bool mutably = access_ == Access::kShared && self_->borrow == -1;
  PyErr_SetString(PyExc_RuntimeError, mutably ? "Already mutably borrowed" : "Already borrowed");
  return false;
}

bool Borrow::Wait() {
  BorrowWaiter me;
  Enqueue(self_, &me);
  Watch watch;
  Gate look = Gate::kWait;
  for (;;) {
    PyThreadState* state = ReleaseInterpreterLock();
    PassGate(look);
    look = Gate::kWaitLook;
    bool turn;
    {
      std::unique_lock<std::mutex> lock(*g_wait_mutex);
      me.cv.wait_for(lock, kCheckInterval, [&] { return me.turn; });
      turn = me.turn;
    }
    if (turn) PassGate(Gate::kTurn);
    RetakeInterpreterLock(state);
    if (turn) {
      TakeFree();  // first, so that the next waiter does not get a turn too
      Dequeue(self_, &me);
      return true;
    }
    if (!CheckSignals() || GiveUp(&watch)) {
      Dequeue(self_, &me);
      return false;
    }
  }
}

bool Borrow::GiveUp(Watch* watch) {
  // Only the thread shutting the interpreter down gets the lock now: the
  // holder is a daemon thread that will not run again.
  bool give_up = InterpreterShuttingDown();
  if (!give_up && (self_->borrow == 0 || self_->waitable)) {
    watch->watching = false;
  } else if (!give_up) {
    auto now = std::chrono::steady_clock::now();
    uint64_t steps = *self_->progress;
    if (!watch->watching || watch->takes != self_->takes || watch->steps != steps) {
      *watch = {true, self_->takes, steps, now};
    } else {
      give_up = now - watch->since >= kStallLimit;
    }
  }
  if (give_up) Refuse();
  return give_up;
}

Borrow::~Borrow() {
  if (!taken_) return;
  assert(self_->borrow != 0 && pthread_equal(self_->owner, pthread_self()));
  self_->borrow = access_ == Access::kExclusive ? 0 : self_->borrow - 1;
  if (self_->borrow == 0) {
    self_->waitable = false;
    self_->progress = nullptr;
    ServeFirst(self_);
  }
  DropRef(reinterpret_cast<PyObject*>(self_));
}

void RegisterInstance(MoxalObject* self) {
  assert(self->prev == nullptr && self->next == nullptr && g_instances != self);
  InstallForkHandlers(ResetInChild);
  self->prev = nullptr;
  self->next = g_instances;
  if (g_instances != nullptr) g_instances->prev = self;
  g_instances = self;
}

void UnregisterInstance(MoxalObject* self) {
  if (self->prev != nullptr) self->prev->next = self->next;
  if (self->next != nullptr) self->next->prev = self->prev;
  if (g_instances == self) g_instances = self->next;
}

}  // namespace moxal
