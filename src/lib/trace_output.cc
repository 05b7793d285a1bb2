#include "lib/trace_output.h"

#include <mutex>
#include <string>

#include "query/query.h"

namespace moxal {

namespace {

// A plain pointer: a thread-local with a destructor would run at thread
// exit, where it gains nothing.
thread_local TraceCollector* t_collector = nullptr;
std::mutex g_stdout;

void Write(std::string_view lines) {
  std::lock_guard<std::mutex> lock(g_stdout);
  WriteTraceToStdout(lines);
}

}  // namespace

TraceCollector::TraceCollector() : outer_(t_collector) { t_collector = this; }
TraceCollector::~TraceCollector() { t_collector = outer_; }

void CollectTrace(std::string_view line) {
  if (t_collector == nullptr) {
    Write(line);
    return;
  }
  t_collector->lines_.append(line);
}

void FlushCollectedTrace() {
  if (t_collector == nullptr || t_collector->lines_.empty()) return;
  std::string lines;
  lines.swap(t_collector->lines_);
  Write(lines);
}

}  // namespace moxal
