// Sixteen-bytes-at-a-time scanning of JSON string text, for the reader
// (and, on SSE2, the escape check of the writer).
//
// One block of 16 bytes becomes two masks with one bit per byte (bit i for
// byte i): the bytes that end a plain run of string text ('"', '\\' and the
// control bytes 0x00-0x1F) and the bytes of multi-byte UTF-8 sequences
// (0x80 and above). x86-64 always has SSE2, so that path needs no run-time
// check; other machines take two eight-byte words (swar.h).

#ifndef MOXAL_VALUES_STRING_SCAN_H_
#define MOXAL_VALUES_STRING_SCAN_H_

#include <cassert>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "values/swar.h"

namespace moxal::scan {

// Bytes in one block.
inline constexpr int kBlock = 16;

struct BlockMasks {
  uint32_t stops;  // '"', '\\', 0x00-0x1F; only the lowest set bit is exact
  uint32_t highs;  // 0x80-0xFF; exact
};

#if defined(__SSE2__)

// Bit i set when byte i of `v` is '"', '\\' or 0x00-0x1F (exact for every
// byte): where a plain run of string text ends when reading, and the bytes
// that are escaped when writing.
inline uint32_t StopMask(__m128i v) {
  __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  // v <= 0x1F as unsigned bytes: the larger of v and 0x1F is 0x1F.
  __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
  __m128i stops = _mm_or_si128(_mm_or_si128(quote, backslash), control);
  return static_cast<uint32_t>(_mm_movemask_epi8(stops));
}

// The masks of the 16 bytes at `p`, all of which must be readable.
inline BlockMasks ScanBlock(const uint8_t* p) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return {StopMask(v), static_cast<uint32_t>(_mm_movemask_epi8(v))};
}

// True when the first `n` (at most 16) bytes at `a` and `b` agree; 16
// bytes must be readable at each.
inline bool SamePrefix(const uint8_t* a, const uint8_t* b, unsigned n) {
  assert(n <= kBlock);
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  uint32_t same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
  uint32_t want = (uint32_t{1} << n) - 1;
  return (same & want) == want;
}

#else

// The high bits of the bytes of `m` (a mask of high bits) gathered into the
// low 8 bits: the multiplication moves bit 8k+7 to bit 56+k, no carries.
inline uint32_t GatherHighs(uint64_t m) {
  return static_cast<uint32_t>(((m >> 7) * 0x0102040810204080ULL) >> 56);
}

inline BlockMasks ScanBlock(const uint8_t* p) {
  uint64_t lo = swar::Load(p);
  uint64_t hi = swar::Load(p + 8);
  uint32_t stops_lo = GatherHighs(swar::StringStops(lo));
  uint32_t stops_hi = GatherHighs(swar::StringStops(hi));
  // Keep the exactness of the lowest bit: a false flag in the high word
  // only exists above a true one in the same word.
  return {stops_lo | (stops_hi << 8),
          GatherHighs(lo & swar::kHighs) | (GatherHighs(hi & swar::kHighs) << 8)};
}

// The low `n` bytes of a word, as a mask (n at most 8).
inline uint64_t LowBytes(unsigned n) {
  return n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
}

inline bool SamePrefix(const uint8_t* a, const uint8_t* b, unsigned n) {
  assert(n <= kBlock);
  uint64_t lo = (swar::Load(a) ^ swar::Load(b)) & LowBytes(n);
  uint64_t hi = (swar::Load(a + 8) ^ swar::Load(b + 8)) & LowBytes(n > 8 ? n - 8 : 0);
  return (lo | hi) == 0;
}

#endif

}  // namespace moxal::scan

#endif  // MOXAL_VALUES_STRING_SCAN_H_
