// JSON text to a value and back, as the tests and the fuzzers compare
// them: ParseJson reads a string, ToJson writes one. moxal itself only
// reads files and writes files, through a ByteSource and an OutBuffer.

#ifndef MOXAL_TESTS_FUZZ_JSON_TEXT_H_
#define MOXAL_TESTS_FUZZ_JSON_TEXT_H_

#include <string>
#include <string_view>

#include "values/byte_io.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

namespace moxal {

// Reads `text` as one JSON text into *out; false when it is not one.
inline bool ParseJson(std::string_view text, Value* out) {
  MemorySource src(text.data(), text.size());
  return ReadJson(src, out);
}

// The compact JSON text of `v`.
inline std::string ToJson(ValueRef v) {
  std::string text;
  StringSink sink(&text);
  OutBuffer out(&sink);
  WriteJson(v, out);
  out.Flush();
  return text;
}

}  // namespace moxal

#endif  // MOXAL_TESTS_FUZZ_JSON_TEXT_H_
