// Number tokens of JSON text: cutting one into the parts of the grammar,
// and the conversions of digits to values that the reader uses.

#ifndef MOXAL_VALUES_NUMBER_TEXT_H_
#define MOXAL_VALUES_NUMBER_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace moxal {

// Bytes that can be part of a number token.
struct NumberChars {
  bool in[256] = {};
  constexpr NumberChars() {
    for (int c = '0'; c <= '9'; ++c) in[c] = true;
    in['-'] = in['+'] = in['.'] = in['e'] = in['E'] = true;
  }
};
inline constexpr NumberChars kNum;

inline bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Digits that always fit in 64 bits: 19 nines are below 2^64.
inline constexpr size_t kSafeDigits = 19;

// A number token cut into the pieces of the grammar
//   [-] digits [. digits] [(e|E) [+|-] digits]
// Absent pieces are empty ranges.
struct NumberParts {
  bool negative;
  bool is_float;  // it has a fraction or an exponent
  const uint8_t* int_begin;
  const uint8_t* int_end;
  const uint8_t* frac_begin;  // the digits after "."
  const uint8_t* frac_end;
  const uint8_t* exp_begin;  // the exponent's sign or first digit
  const uint8_t* exp_end;
};

// Cuts the token [s, e) into *n; false when it is not a JSON number.
bool SplitNumber(const uint8_t* s, const uint8_t* e, NumberParts* n);

// The value of the decimal digits [b, e); false when it exceeds 2^64-1.
bool DecimalValue(const uint8_t* b, const uint8_t* e, uint64_t* out);

// For a number whose value is not zero, the x with value = 0.ddd x 10^x
// (first digit non-zero); only its sign matters to the caller.
int64_t ScientificExponent(const NumberParts& n);

// Reads the digits from `p` on (up to `end`) into *v, as *v * 10^k plus
// their value, k being their count, and returns the end of the digits. Past
// kSafeDigits digits in all *v wraps; the caller counts them. Digits are
// taken eight at a time while the next eight bytes are all digits.
inline const uint8_t* AccumulateDigits(const uint8_t* p, const uint8_t* end, uint64_t* v) {
  uint64_t acc = *v;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    // All eight bytes are '0' to '9': high nibbles 3, and adding 6 to each
    // byte carries into no high nibble.
    if (((w & 0xF0F0F0F0F0F0F0F0ULL) |
         (((w + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) != 0x3333333333333333ULL) {
      break;
    }
    // Pairs, then quads, then all eight (the first digit is the lowest byte).
    w -= 0x3030303030303030ULL;
    w = (w * 10) + (w >> 8);
    w = (((w & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
         (((w >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >>
        32;
    acc = acc * 100000000 + static_cast<uint32_t>(w);
    p += 8;
  }
  while (p < end && IsDigit(*p)) acc = acc * 10 + (*p++ - '0');
  *v = acc;
  return p;
}

// The double nearest to v / 10^f, for f from 1 to kSafeDigits, into *out.
// False, leaving it to the general conversion, where this machine has no
// 128-bit integers and v is beyond 2^53.
bool NearestQuotient(uint64_t v, size_t f, double* out);

}  // namespace moxal

#endif  // MOXAL_VALUES_NUMBER_TEXT_H_
