#include "storage/work_guard.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace moxal {

namespace {

// Never destroyed, so a thread still working at exit finds it intact.
std::shared_mutex* g_work = new std::shared_mutex;
void (*g_in_child)() = nullptr;

void BeforeFork() { g_work->lock(); }
void AfterForkInParent() { g_work->unlock(); }
void AfterForkInChild() {
  // A fresh lock: the child's only thread has another thread id than the
  // one that took the old lock, which an unlock would not recognise.
  g_work = new std::shared_mutex;
  if (g_in_child != nullptr) g_in_child();
}

std::atomic<uint64_t> g_forks{0};
std::once_flag g_fork_counting;

}  // namespace

uint64_t ForkCount() {
  std::call_once(g_fork_counting, [] {
    ::pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
  });
  return g_forks.load(std::memory_order_relaxed);
}

WorkGuard::WorkGuard() : lock_(g_work) { lock_->lock_shared(); }
WorkGuard::~WorkGuard() { lock_->unlock_shared(); }

void InstallForkHandlers(void (*in_child)()) {
  if (g_in_child != nullptr) return;
  g_in_child = in_child;
  ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

}  // namespace moxal
