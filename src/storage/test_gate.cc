#include "storage/test_gate.h"

#include <atomic>
#include <condition_variable>
#include <iterator>
#include <mutex>

namespace moxal {

namespace {

struct GateState {
  std::atomic<bool> closed{false};
  std::atomic<uint64_t> passed{0};
  int holding = 0;  // under g_mu
};

// Never destroyed: a thread held at exit finds it intact.
GateState* g_gates = new GateState[static_cast<int>(Gate::kCount)];
std::mutex* g_mu = new std::mutex;
std::condition_variable* g_cv = new std::condition_variable;

GateState& StateOf(Gate gate) { return g_gates[static_cast<int>(gate)]; }

}  // namespace

void PassGate(Gate gate) noexcept {
  GateState& g = StateOf(gate);
  g.passed.fetch_add(1, std::memory_order_relaxed);
  if (!g.closed.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lock(*g_mu);
  ++g.holding;
  g_cv->notify_all();
  g_cv->wait(lock, [&] { return !g.closed.load(std::memory_order_acquire); });
  --g.holding;
}

bool GateNamed(std::string_view name, Gate* gate) {
  static constexpr std::string_view kNames[] = {"fold",       "sync",      "sync-wait", "reload",
                                                "plan-write", "fold-wait", "joined",    "work",
                                                "wait",       "wait-look", "turn"};
  static_assert(std::size(kNames) == static_cast<size_t>(Gate::kCount));
  for (size_t i = 0; i < std::size(kNames); ++i) {
    if (name == kNames[i]) {
      *gate = static_cast<Gate>(i);
      return true;
    }
  }
  return false;
}

void CloseGate(Gate gate) {
  std::lock_guard<std::mutex> lock(*g_mu);
  StateOf(gate).passed = 0;
  StateOf(gate).closed = true;
}

void OpenGate(Gate gate) {
  std::lock_guard<std::mutex> lock(*g_mu);
  StateOf(gate).closed = false;
  g_cv->notify_all();
}

int GateHolding(Gate gate) {
  std::lock_guard<std::mutex> lock(*g_mu);
  return StateOf(gate).holding;
}

uint64_t GatePassed(Gate gate) { return StateOf(gate).passed.load(); }

}  // namespace moxal
