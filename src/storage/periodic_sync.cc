#include "storage/periodic_sync.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace moxal {

namespace {

// Heap-allocated and never freed (see periodic_sync.h). A forked child
// makes a fresh one: the parent's mutex may have been held by its thread,
// which the child does not have.
struct Registry {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<JournalFile*> journals;
  bool thread_started = false;
};

Registry* g_registry = new Registry;
std::once_flag g_handlers_installed;

// Syncs every registered journal with records not yet synced. Under the
// registry's mutex, so StopPeriodicSync waits for a sync in progress. A
// failed sync leaves its journal broken, which the database finds at its
// next call.
void SyncAll(Registry* r) {
  for (JournalFile* j : r->journals) {
    if (!j->broken() && j->synced() < j->end()) static_cast<void>(j->SyncCommitted());
  }
}

void Run(Registry* r) {
  std::unique_lock<std::mutex> lock(r->mu);
  for (;;) {
    r->cv.wait_for(lock, kSyncInterval);
    SyncAll(r);
  }
}

void AtExit() {
  Registry* r = g_registry;
  std::lock_guard<std::mutex> lock(r->mu);
  SyncAll(r);
}

void InChild() { g_registry = new Registry; }

}  // namespace

void StartPeriodicSync(JournalFile* journal) {
  std::call_once(g_handlers_installed, [] {
    std::atexit(AtExit);
    ::pthread_atfork(nullptr, nullptr, InChild);
  });
  Registry* r = g_registry;
  std::lock_guard<std::mutex> lock(r->mu);
  if (!r->thread_started) {
    std::thread(Run, r).detach();
    r->thread_started = true;
  }
  r->journals.push_back(journal);
}

void StopPeriodicSync(JournalFile* journal) noexcept {
  Registry* r = g_registry;
  std::lock_guard<std::mutex> lock(r->mu);
  auto& js = r->journals;
  js.erase(std::remove(js.begin(), js.end(), journal), js.end());
}

}  // namespace moxal
