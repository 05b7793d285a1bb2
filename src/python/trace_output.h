// The update trace lines on standard output, from several threads.
//
// An update builds its clauses (and so produces its trace lines) while
// holding a WorkGuard, and writing to descriptor 1 may block for as long as
// nobody reads a pipe, which must neither hold up a fork nor interleave
// with the lines of an update running in another thread. So the lines are
// collected per thread while the update runs, and written afterwards, in
// one piece, outside the guard and under a process-wide lock.

#ifndef MOXAL_PYTHON_TRACE_OUTPUT_H_
#define MOXAL_PYTHON_TRACE_OUTPUT_H_

#include <string>
#include <string_view>

namespace moxal {

// Collects the trace lines of this thread for as long as it lives (one per
// update call, on the caller's stack).
class TraceCollector {
 public:
  TraceCollector();
  ~TraceCollector();
  TraceCollector(const TraceCollector&) = delete;
  TraceCollector& operator=(const TraceCollector&) = delete;

 private:
  friend void CollectTrace(std::string_view line);
  friend void FlushCollectedTrace() noexcept;
  std::string lines_;
  TraceCollector* outer_;
};

// A trace sink (query.h's TraceFn) that keeps `line` in this thread's
// collector; without one, it writes the line at once.
void CollectTrace(std::string_view line);

// Writes the lines this thread's collector holds to descriptor 1, and
// empties it.
void FlushCollectedTrace() noexcept;

// Calls FlushCollectedTrace when the scope it lives in ends, however it
// ends.
class CollectedTraceFlush {
 public:
  CollectedTraceFlush() = default;
  ~CollectedTraceFlush() { FlushCollectedTrace(); }
  CollectedTraceFlush(const CollectedTraceFlush&) = delete;
  CollectedTraceFlush& operator=(const CollectedTraceFlush&) = delete;
};

// Writes `line` to file descriptor 1 with plain write calls: not through
// Python's sys.stdout, no flush, no sync.
void WriteTraceToStdout(std::string_view line);

}  // namespace moxal

#endif  // MOXAL_PYTHON_TRACE_OUTPUT_H_
