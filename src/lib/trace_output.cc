#include "lib/trace_output.h"

#include <mutex>
#include <string>

#include "query/query.h"

namespace moxal {

namespace {

thread_local std::string t_collected;
std::mutex g_stdout;

}  // namespace

void CollectTrace(std::string_view line) { t_collected.append(line); }

void FlushCollectedTrace() {
  if (t_collected.empty()) return;
  std::string lines;
  lines.swap(t_collected);
  std::lock_guard<std::mutex> lock(g_stdout);
  WriteTraceToStdout(lines);
}

}  // namespace moxal
