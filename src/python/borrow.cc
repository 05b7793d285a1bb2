#include "python/borrow.h"

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "storage/work_guard.h"

namespace moxal {

namespace {

// Process-wide, for the objects of every interpreter. The waiters' mutex
// and condition variable need no interpreter lock. The instance list is
// read and written under the interpreter lock (and by the fork handler, in
// a child with one thread), which is safe only while every interpreter
// shares that lock: module.cc refuses interpreters with their own.
//
// Waiters of every object sleep on one condition variable: waits are rare,
// and one pair is simple to reset in a forked child. Heap-allocated and
// never destroyed, so a thread still waiting at exit finds them intact.
std::mutex* g_wait_mutex = new std::mutex;
std::condition_variable* g_wait_cv = new std::condition_variable;

// How often a waiting thread looks for signals (Ctrl-C) to handle.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

MoxalObject* g_instances = nullptr;

bool FreeOrHeldByThisThread(const MoxalObject* self) {
  return self->borrow == 0 || pthread_equal(self->owner, pthread_self());
}

// In a forked child: the borrows held by threads the child does not have
// are freed (their work was complete or not yet begun: see work_guard.h),
// and the waiters' lock is made anew, as its holder may be gone.
void ResetInChild() {
  for (MoxalObject* o = g_instances; o != nullptr; o = o->next) {
    if (!FreeOrHeldByThisThread(o)) {
      o->borrow = 0;
      o->waitable = false;
    }
    o->waiters = 0;
  }
  g_wait_mutex = new std::mutex;
  g_wait_cv = new std::condition_variable;
}

}  // namespace

bool Borrow::Take() {
  assert(!taken_);
  for (;;) {
    if (self_->borrow == 0) {
      self_->borrow = access_ == Access::kExclusive ? -1 : 1;
      self_->owner = pthread_self();
      self_->waitable = access_ == Access::kShared;
      break;
    }
    if (!pthread_equal(self_->owner, pthread_self()) && self_->waitable) {
      if (!Wait()) return false;
      continue;
    }
    if (access_ == Access::kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    if (self_->borrow == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++self_->borrow;
    break;
  }
  Py_INCREF(self_);
  taken_ = true;
  return true;
}

bool Borrow::Wait() {
  uint64_t seen = self_->releases;
  ++self_->waiters;
  bool released = false;
  while (!released) {
    Py_BEGIN_ALLOW_THREADS
    {
      // Let go of the mutex before taking the interpreter lock back: the
      // thread that releases a borrow holds the latter and wants the former.
      std::unique_lock<std::mutex> lock(*g_wait_mutex);
      released =
          g_wait_cv->wait_for(lock, kSignalCheckInterval, [&] { return self_->releases != seen; });
    }
    Py_END_ALLOW_THREADS
    if (!released && PyErr_CheckSignals() < 0) break;
  }
  --self_->waiters;
  return released;
}

Borrow::~Borrow() {
  if (!taken_) return;
  assert(self_->borrow != 0 && pthread_equal(self_->owner, pthread_self()));
  self_->borrow = access_ == Access::kExclusive ? 0 : self_->borrow - 1;
  if (self_->borrow == 0) {
    self_->waitable = false;
    if (self_->waiters != 0) {
      {
        std::lock_guard<std::mutex> lock(*g_wait_mutex);
        ++self_->releases;
      }
      g_wait_cv->notify_all();
    }
  }
  Py_DECREF(self_);
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
