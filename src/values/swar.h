// Eight-bytes-at-a-time scanning: the JSON reader and writer look for the
// bytes that end a plain run of string text, UTF-8 validation and the
// conversion to Python skip runs of ASCII.
//
// The masks flag a byte by setting its high bit. Where a comment says "the
// lowest is exact", bytes above the lowest flagged one may be flagged
// falsely (a borrow carries into them), so only FirstByte of such a mask
// is meaningful.

#ifndef MOXAL_VALUES_SWAR_H_
#define MOXAL_VALUES_SWAR_H_

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace moxal::swar {

inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t Load(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The zero bytes of `w`; the lowest is exact.
inline uint64_t ZeroBytes(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
// The bytes of `w` equal to `c`; the lowest is exact.
inline uint64_t Equal(uint64_t w, uint8_t c) { return ZeroBytes(w ^ (kOnes * c)); }
// The bytes of `w` below 0x20; the lowest is exact.
inline uint64_t Control(uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

// Bytes that end a plain run inside a JSON string: '"', '\\', 0x00-0x1F.
// The lowest is exact.
inline uint64_t StringStops(uint64_t w) { return Equal(w, '"') | Equal(w, '\\') | Control(w); }

// Index of the lowest flagged byte of a non-zero mask.
inline unsigned FirstByte(uint64_t mask) {
  assert(mask != 0);
  return static_cast<unsigned>(std::countr_zero(mask)) >> 3;
}

// Number of ASCII bytes (below 0x80) at the start of the `n` bytes at `p`.
inline size_t AsciiPrefix(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t highs = Load(p + i) & kHighs;  // exact: no arithmetic, no borrow
    if (highs != 0) return i + FirstByte(highs);
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace moxal::swar

#endif  // MOXAL_VALUES_SWAR_H_
