// Eight-bytes-at-a-time scanning for the JSON reader and writer.

#ifndef MOXAL_VALUES_SWAR_H_
#define MOXAL_VALUES_SWAR_H_

#include <bit>
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

// High bit set in the lowest byte of `w` equal to `c` (bytes above the
// lowest match may be flagged falsely; the lowest is exact).
inline uint64_t ZeroBytes(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
inline uint64_t Equal(uint64_t w, uint8_t c) { return ZeroBytes(w ^ (kOnes * c)); }
// High bit set in the lowest byte of `w` below 0x20.
inline uint64_t Control(uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

// Bytes that end a plain run inside a JSON string: '"', '\\', 0x00-0x1F.
inline uint64_t StringStops(uint64_t w) {
  return Equal(w, '"') | Equal(w, '\\') | Control(w);
}

// Index of the lowest flagged byte of a non-zero mask.
inline unsigned FirstByte(uint64_t mask) {
  return static_cast<unsigned>(std::countr_zero(mask)) >> 3;
}

}  // namespace moxal::swar

#endif  // MOXAL_VALUES_SWAR_H_
