// libFuzzer harness for the JSON reader and writer: every input goes
// through the checks of json_checks.h; a broken property aborts with the
// failure, so libFuzzer saves the input as a crash.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "json_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string failure = moxal::fuzz::CheckJsonText(text);
  if (!failure.empty()) {
    std::fprintf(stderr, "json property violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
