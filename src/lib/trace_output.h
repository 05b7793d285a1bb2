// The update trace lines on standard output, from several threads.
//
// An update builds its clauses (and so produces its trace lines) while
// holding a WorkGuard, and writing to descriptor 1 may block for as long as
// nobody reads a pipe, which must neither hold up a fork nor interleave
// with the lines of an update running in another thread. So the lines are
// collected per thread while the update runs, and written afterwards, in
// one piece, outside the guard and under a process-wide lock.

#ifndef MOXAL_LIB_TRACE_OUTPUT_H_
#define MOXAL_LIB_TRACE_OUTPUT_H_

#include <string_view>

namespace moxal {

// A trace sink (query.h's TraceFn) that keeps `line` for this thread.
void CollectTrace(std::string_view line);

// Writes the lines this thread collected to descriptor 1 and forgets them.
void FlushCollectedTrace();

}  // namespace moxal

#endif  // MOXAL_LIB_TRACE_OUTPUT_H_
