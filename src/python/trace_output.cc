#include "python/trace_output.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

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

void WriteTraceToStdout(std::string_view line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left != 0) {
    ssize_t n = ::write(1, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // a closed or full standard output must not fail the update
    }
  }
}

TraceCollector::TraceCollector() : outer_(t_collector) { t_collector = this; }
TraceCollector::~TraceCollector() { t_collector = outer_; }

void CollectTrace(std::string_view line) {
  if (t_collector == nullptr) {
    Write(line);
    return;
  }
  t_collector->lines_.append(line);
}

void FlushCollectedTrace() noexcept {
  if (t_collector == nullptr || t_collector->lines_.empty()) return;
  std::string lines;
  lines.swap(t_collector->lines_);
  Write(lines);
}

}  // namespace moxal
