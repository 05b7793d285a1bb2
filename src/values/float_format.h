// Text form of a float in JSON output.
//
// The digits are the shortest that read back as the same double (nearest to
// the exact value when several are that short). With d the n digits and e
// such that the value is 0.d x 10^e:
//
//   zero                                   "0.0" ("-0.0")
//   n <= e <= 16                           digits, zeros to the units, ".0"
//   1 <= e <= 16                           first e digits "." the rest
//   -4 <= e <= 0                           "0." (-e zeros) digits
//   n == 1                                 digit "e" (e-1)
//   otherwise                              d[0] "." rest "e" (e-1)
//
// so every float has a "." or an "e" and reads back as a float.

#ifndef MOXAL_VALUES_FLOAT_FORMAT_H_
#define MOXAL_VALUES_FLOAT_FORMAT_H_

#include <cstddef>

namespace moxal {

// Room FormatDouble needs at its output. The longest text is 24 bytes
// ("-0.0000" and 17 digits, or "-d.dddddddddddddddde-308"), but digits are
// stored in 8-byte words, which may reach 26 bytes past the start.
inline constexpr size_t kMaxFloatText = 32;

// Writes the text of `v` to `out` (at least kMaxFloatText bytes, not
// terminated; bytes past the text may change) and returns its length. A
// non-finite `v` is written "null".
size_t FormatDouble(double v, char* out);

}  // namespace moxal

#endif  // MOXAL_VALUES_FLOAT_FORMAT_H_
