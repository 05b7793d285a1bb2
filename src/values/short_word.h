// Reading a string of fewer than eight bytes as one word, without a loop and
// without touching a byte past its end.

#ifndef MOXAL_VALUES_SHORT_WORD_H_
#define MOXAL_VALUES_SHORT_WORD_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace moxal {

// The 1 to 7 bytes at `p` in one word, each of them at least once: from 4
// bytes on, two overlapping 4-byte loads; below, bytes 0, n / 2 and n - 1
// (every byte of 1 to 3) in the low three bytes and `pad` in the other five.
// Two strings of the same length are equal exactly when their words are.
inline uint64_t ShortWord(const uint8_t* p, size_t n, uint8_t pad) {
  assert(n >= 1 && n <= 7);
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return a | (uint64_t{b} << 32);
  }
  uint64_t w = p[0] | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16);
  return w | (pad * 0x0101010101000000ULL);
}

}  // namespace moxal

#endif  // MOXAL_VALUES_SHORT_WORD_H_
