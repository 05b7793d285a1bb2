// Decimal digits of integers, eight at a time: the text of integers in JSON
// output and the digit strings of floats.

#ifndef MOXAL_VALUES_DIGITS_H_
#define MOXAL_VALUES_DIGITS_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace moxal {

// 10^0 to 10^19, every power of ten a uint64_t holds.
inline constexpr uint64_t kPowersOf10[20] = {1ULL,
                                             10ULL,
                                             100ULL,
                                             1000ULL,
                                             10000ULL,
                                             100000ULL,
                                             1000000ULL,
                                             10000000ULL,
                                             100000000ULL,
                                             1000000000ULL,
                                             10000000000ULL,
                                             100000000000ULL,
                                             1000000000000ULL,
                                             10000000000000ULL,
                                             100000000000000ULL,
                                             1000000000000000ULL,
                                             10000000000000000ULL,
                                             100000000000000000ULL,
                                             1000000000000000000ULL,
                                             10000000000000000000ULL};

// Number of decimal digits of `x` (1 for 0).
inline int DecimalLength(uint64_t x) {
  x |= 1;                                    // the same number of digits, and no special case for 0
  int t = (std::bit_width(x) * 1233) >> 12;  // log10(2) ~ 1233 / 4096
  return t + (x >= kPowersOf10[t]);
}

namespace digits_internal {

// Two ASCII digits for each number below 100, the first in the low byte.
struct DigitPairs {
  uint16_t pair[100] = {};
  constexpr DigitPairs() {
    for (int i = 0; i < 100; ++i) {
      pair[i] = static_cast<uint16_t>(('0' + i / 10) | (('0' + i % 10) << 8));
    }
  }
};
inline constexpr DigitPairs kDigitPairs;

inline void Store8(char* p, uint64_t word) { std::memcpy(p, &word, 8); }

}  // namespace digits_internal

// The eight decimal digits of x < 10^8 (leading zeros included) as ASCII,
// the first in the lowest byte: four pairs from a table, found by divisions
// that wait for one another only once.
inline uint64_t EightDigits(uint32_t x) {
  using digits_internal::kDigitPairs;
  const uint32_t a = x / 10000, b = x % 10000;
  const uint64_t p0 = kDigitPairs.pair[a / 100], p1 = kDigitPairs.pair[a % 100];
  const uint64_t p2 = kDigitPairs.pair[b / 100], p3 = kDigitPairs.pair[b % 100];
  return p0 | (p1 << 16) | (p2 << 32) | (p3 << 48);
}

// Room FormatUnsigned and FormatNegative need at their output: the longest
// text is 20 bytes, and the 8-byte words the digits are stored in reach no
// further (a short number's single word reaches 8 bytes, or 9 after a "-").
inline constexpr size_t kIntegerTextRoom = 24;

// Writes `v` in decimal at `p` (kIntegerTextRoom bytes of room; bytes past
// the text may change). Returns the end of the text.
inline char* FormatUnsigned(uint64_t v, char* p) {
  using digits_internal::Store8;
  constexpr uint64_t k8 = 100000000;
  uint64_t head = v;
  int words = 0;  // eight-digit words after the head
  uint64_t mid = 0, low = 0;
  if (v >= k8) {
    head = v / k8;
    low = v - head * k8;
    words = 1;
    if (head >= k8) {
      mid = head % k8;
      head /= k8;
      words = 2;
    }
  }
  const int n = DecimalLength(head);
  Store8(p, EightDigits(static_cast<uint32_t>(head)) >> (8 * (8 - n)));
  p += n;
  if (words == 2) {
    Store8(p, EightDigits(static_cast<uint32_t>(mid)));
    p += 8;
  }
  if (words >= 1) {
    Store8(p, EightDigits(static_cast<uint32_t>(low)));
    p += 8;
  }
  return p;
}

// Writes the negative `v` in decimal, "-" first, at `p` (kIntegerTextRoom
// bytes of room). Returns the end of the text.
inline char* FormatNegative(int64_t v, char* p) {
  *p = '-';
  return FormatUnsigned(0 - static_cast<uint64_t>(v), p + 1);
}

}  // namespace moxal

#endif  // MOXAL_VALUES_DIGITS_H_
