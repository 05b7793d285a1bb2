// Escaping string text for JSON output.
//
// Only '"', '\\' and the bytes 0x00-0x1F are escaped: \" \\ \b \f \n \r \t,
// else \u00xx in lower-case hex. Every other byte, 0x7F and non-ASCII
// included, is written as it is. Text is scanned 16 bytes at a time where
// SSE2 is there (every x86-64), else 8 at a time, and copied in whole blocks
// until the first byte that needs an escape.

#ifndef MOXAL_VALUES_JSON_ESCAPE_H_
#define MOXAL_VALUES_JSON_ESCAPE_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "values/short_word.h"
#include "values/string_scan.h"
#include "values/swar.h"

namespace moxal {

// Most bytes an escape writes for one input byte ("\u00xx"), so a string
// of n bytes never needs more than n * kMaxEscapeGrowth.
inline constexpr size_t kMaxEscapeGrowth = 6;

namespace escape_internal {

// For each byte: 0 when it is written as it is, else the character that
// follows the backslash of its escape ('u' for \u00xx).
struct EscapeTable {
  char esc[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) esc[c] = 'u';
    esc['\b'] = 'b';
    esc['\f'] = 'f';
    esc['\n'] = 'n';
    esc['\r'] = 'r';
    esc['\t'] = 't';
    esc['"'] = '"';
    esc['\\'] = '\\';
  }
};
inline constexpr EscapeTable kTable;

}  // namespace escape_internal

// True when byte `c` is written as an escape.
inline bool NeedsEscape(uint8_t c) { return escape_internal::kTable.esc[c] != 0; }

// Writes the escape of `c` (a byte that needs one) at `p`; returns the end.
inline char* WriteEscape(uint8_t c, char* p) {
  assert(NeedsEscape(c));
  static constexpr char kHex[] = "0123456789abcdef";
  char e = escape_internal::kTable.esc[c];
  p[0] = '\\';
  if (e != 'u') {
    p[1] = e;
    return p + 2;
  }
  std::memcpy(p + 1, "u00", 3);
  p[4] = kHex[c >> 4];
  p[5] = kHex[c & 15];
  return p + 6;
}

// Number of bytes at the start of the `n` bytes at `src` that are written
// as they are.
inline size_t PlainPrefix(const uint8_t* src, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; n - i >= 16; i += 16) {
    auto v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    if (unsigned stops = scan::StopMask(v)) {
      return i + static_cast<size_t>(__builtin_ctz(stops));
    }
  }
#endif
  for (; n - i >= 8; i += 8) {
    if (uint64_t stops = swar::StringStops(swar::Load(src + i))) {
      return i + swar::FirstByte(stops);
    }
  }
  while (i < n && !NeedsEscape(src[i])) ++i;
  return i;
}

// Longest string CopyPlainShort takes: two overlapping blocks of 16 bytes
// where SSE2 is there, else two words of 8.
#if defined(__SSE2__)
inline constexpr size_t kMaxPlainShort = 32;
#else
inline constexpr size_t kMaxPlainShort = 16;
#endif

// For n <= kMaxPlainShort: copies the `n` bytes at `src` to `p` (room for
// n bytes) and returns true when none of them needs an escape; else
// returns false and the bytes at `p` are unspecified. Whole blocks are
// moved, no loop.
inline bool CopyPlainShort(const uint8_t* src, size_t n, char* p) {
#if defined(__SSE2__)
  if (n > 16) {
    auto a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    auto b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + n - 16), b);
    return (scan::StopMask(a) | scan::StopMask(b)) == 0;
  }
#endif
  if (n >= 8) {
    uint64_t a = swar::Load(src);
    uint64_t b = swar::Load(src + n - 8);
    std::memcpy(p, &a, 8);
    std::memcpy(p + n - 8, &b, 8);
    return (swar::StringStops(a) | swar::StringStops(b)) == 0;
  }
  if (n == 0) return true;
  uint64_t w = ShortWord(src, n, 'a');  // padded with a byte that needs no escape
  if (n >= 4) {
    std::memcpy(p, &w, 4);
    auto high = static_cast<uint32_t>(w >> 32);
    std::memcpy(p + n - 4, &high, 4);
  } else {  // positions 0, n / 2 and n - 1 cover every byte of 1 to 3
    p[0] = static_cast<char>(src[0]);
    p[n / 2] = static_cast<char>(src[n / 2]);
    p[n - 1] = static_cast<char>(src[n - 1]);
  }
  return swar::StringStops(w) == 0;
}

// Writes the `n` bytes at `src` with their escapes at `p`, which has room
// for n * kMaxEscapeGrowth bytes (whole blocks are stored before they are
// checked: the room covers them). Returns the end of the text.
inline char* EscapeInto(const uint8_t* src, size_t n, char* p) {
  const uint8_t* end = src + n;
#if defined(__SSE2__)
  while (end - src >= 16) {
    auto v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    unsigned stops = scan::StopMask(v);
    if (stops == 0) {
      src += 16;
      p += 16;
      continue;
    }
    unsigned plain = static_cast<unsigned>(__builtin_ctz(stops));
    p = WriteEscape(src[plain], p + plain);
    src += plain + 1;
  }
#endif
  while (end - src >= 8) {
    uint64_t w = swar::Load(src);
    std::memcpy(p, &w, 8);
    uint64_t stops = swar::StringStops(w);
    if (stops == 0) {
      src += 8;
      p += 8;
      continue;
    }
    unsigned plain = swar::FirstByte(stops);
    p = WriteEscape(src[plain], p + plain);
    src += plain + 1;
  }
  // Fewer than 8 bytes left: one check for all of them, the common case
  // being that none needs an escape.
  auto rest = static_cast<size_t>(end - src);
  if (CopyPlainShort(src, rest, p)) return p + rest;
  for (; src < end; ++src) {
    if (NeedsEscape(*src)) {
      p = WriteEscape(*src, p);
    } else {
      *p++ = static_cast<char>(*src);
    }
  }
  return p;
}

}  // namespace moxal

#endif  // MOXAL_VALUES_JSON_ESCAPE_H_
