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
// (Ctrl-C) and for the shutdown.
constexpr auto kCheckInterval = std::chrono::milliseconds(50);

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
    if (!FreeOrHeldByThisThread(o)) o->borrow = 0;
    Borrow::ForgetOtherThreads(o);
    o->first = nullptr;
    o->last = nullptr;
  }
  g_wait_mutex = new std::mutex;
}

}  // namespace

bool Borrow::Enter() {
  assert(!entered_);
  bool inside = false, exclusive_inside = false;
  pthread_t me = pthread_self();
  for (const Borrow* b = self_->entered; b != nullptr; b = b->next_) {
    if (!pthread_equal(b->thread_, me)) continue;
    inside = true;
    exclusive_inside |= b->access_ == Access::kExclusive;
  }
  if (inside) {
    // Shared calls nest in the thread's shared calls that hold the object;
    // anything else would wait for this thread itself.
    bool nests = access_ == Access::kShared && !exclusive_inside && self_->borrow > 0 &&
                 pthread_equal(self_->owner, pthread_self());
    if (!nests) return Refuse(access_ == Access::kShared && exclusive_inside);
  }
  thread_ = me;
  next_ = self_->entered;
  if (next_ != nullptr) next_->prev_ = this;
  self_->entered = this;
  Py_INCREF(self_);
  entered_ = true;
  return true;
}

bool Borrow::Take() {
  assert(entered_ && !taken_);
  if (self_->borrow > 0 && access_ == Access::kShared &&
      pthread_equal(self_->owner, pthread_self())) {
    ++self_->borrow;  // nested in a shared call of this thread (Enter)
  } else if (self_->borrow != 0 || self_->first != nullptr) {
    if (!Wait()) return false;
  } else {
    TakeFree();
  }
  taken_ = true;
  return true;
}

void Borrow::TakeFree() {
  assert(self_->borrow == 0);
  self_->borrow = access_ == Access::kExclusive ? -1 : 1;
  self_->owner = pthread_self();
}

void Borrow::ForgetOtherThreads(MoxalObject* self) {
  for (Borrow *b = self->entered, *next; b != nullptr; b = next) {
    next = b->next_;
    if (!pthread_equal(b->thread_, pthread_self())) b->Unlink();
  }
}

void Borrow::Unlink() {
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    self_->entered = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
  prev_ = next_ = nullptr;
}

bool Borrow::Refuse(bool mutably) {
  PyErr_SetString(PyExc_RuntimeError, mutably ? "Already mutably borrowed" : "Already borrowed");
  return false;
}

bool Borrow::Wait() {
  BorrowWaiter me;
  Enqueue(self_, &me);
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
    bool stop = !CheckSignals();
    // Only the thread shutting the interpreter down gets the lock now: the
    // holder is a daemon thread that will not run again.
    if (!stop && InterpreterShuttingDown()) {
      stop = true;
      Refuse(access_ == Access::kShared && self_->borrow == -1);
    }
    if (stop) {
      Dequeue(self_, &me);
      return false;
    }
  }
}

Borrow::~Borrow() {
  if (taken_) {
    assert(self_->borrow != 0 && pthread_equal(self_->owner, pthread_self()));
    self_->borrow = access_ == Access::kExclusive ? 0 : self_->borrow - 1;
    ServeFirst(self_);
  }
  if (!entered_) return;
  Unlink();
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
