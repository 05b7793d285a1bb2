// Points where a test can hold the thread that reaches them, to check what
// other threads can do meanwhile without relying on how long anything
// takes: a fold writing its files, a sync of the journal, an object that
// joined the others sharing a journal, a call's work without the
// interpreter lock, a thread waiting for an object another call holds. A
// gate is open unless a test closed it; passing an open gate costs one
// atomic load.
//
// Tests reach them through the module's private function moxal._gate.

#ifndef MOXAL_STORAGE_TEST_GATE_H_
#define MOXAL_STORAGE_TEST_GATE_H_

#include <cstdint>
#include <string_view>

namespace moxal {

enum class Gate : int {
  kFold,       // a fold about to write its files (fold.cc)
  kSync,       // a sync of the journal about to start (journal_file.cc)
  kSyncWait,   // a thread about to wait for a sync another thread runs
  kReload,     // an object about to read the whole state on disk again (db_journal.cc)
  kPlanWrite,  // write or write_all caught up, about to take the fold lock (db_write.cc)
  kFoldWait,   // write or write_all about to wait for another object's fold
  kJoined,     // an object that opened a journal, others free to append (db_journal.cc)
  kWork,       // a call about to do its work without the interpreter lock
  kWait,       // a call that found its object busy, queued, about to wait
  kWaitLook,   // a waiting call looking again after a while (for signals, exit)
  kTurn,       // a waiting call given its turn, about to take the object
  kCount,
};

// Holds the calling thread while `gate` is closed; counts the passage.
// Never call it holding a lock that what the test does meanwhile needs.
void PassGate(Gate gate) noexcept;

// The gate named `name` ("fold", "sync", "sync-wait", "reload",
// "plan-write", "fold-wait", "joined", "work", "wait", "wait-look",
// "turn"); false for no such gate.
bool GateNamed(std::string_view name, Gate* gate);

// Closes a gate: threads that reach it wait until it is opened.
void CloseGate(Gate gate);
// Opens it, letting the threads held there go.
void OpenGate(Gate gate);
// How many threads it holds now, and how many passed it since it was last
// closed.
int GateHolding(Gate gate);
uint64_t GatePassed(Gate gate);

}  // namespace moxal

#endif  // MOXAL_STORAGE_TEST_GATE_H_
