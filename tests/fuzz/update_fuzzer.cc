// libFuzzer harness for update queries applied to documents: every input
// (an update query and a document joined by a NUL byte) goes through the
// checks of update_checks.h; a broken property aborts with the failure, so
// libFuzzer saves the input as a crash.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "update_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string failure = moxal::fuzz::CheckUpdateInput(input);
  if (!failure.empty()) {
    std::fprintf(stderr, "update property violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
