#include "lib/work_guard.h"

#include <pthread.h>

#include <shared_mutex>

namespace moxal {

namespace {

std::shared_mutex g_work;
void (*g_in_child)() = nullptr;

void BeforeFork() { g_work.lock(); }
void AfterForkInParent() { g_work.unlock(); }
void AfterForkInChild() {
  g_work.unlock();  // the forking thread took it, and is the child's only thread
  if (g_in_child != nullptr) g_in_child();
}

}  // namespace

WorkGuard::WorkGuard() { g_work.lock_shared(); }
WorkGuard::~WorkGuard() { g_work.unlock_shared(); }

void InstallForkHandlers(void (*in_child)()) {
  if (g_in_child != nullptr) return;
  g_in_child = in_child;
  ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

}  // namespace moxal
