#include "values/float_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace moxal {

namespace {

// Writes e-1 after an "e": "-" for negative, no "+", no leading zeros.
size_t WriteExponent(int x, char* out) {
  char* p = out;
  *p++ = 'e';
  if (x < 0) {
    *p++ = '-';
    x = -x;
  }
  char tmp[8];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + x % 10);
    x /= 10;
  } while (x != 0);
  while (n != 0) *p++ = tmp[--n];
  return static_cast<size_t>(p - out);
}

// The digits of a positive `v` below 10^12 that is exactly what a decimal
// with at most three places reads as (prices, scores, measurements). That
// decimal has at most 15 significant digits, so it is the shortest that
// reads back as `v`: two different decimals of 15 digits or fewer never
// read as the same double. Returns false for anything else, which goes to
// the general shortest-digits algorithm.
bool ShortDecimal(double v, char* digits, int* n, int* e) {
  if (!(v < 1e12) || v < 1e-3) return false;
  double scaled = std::nearbyint(v * 1000.0);
  if (scaled >= 1e15 || scaled / 1000.0 != v) return false;
  auto m = static_cast<uint64_t>(scaled);
  int places = 3;
  while (places > 0 && m % 10 == 0) {
    m /= 10;
    --places;
  }
  char tmp[20];
  int len = 0;
  do {
    tmp[len++] = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m != 0);
  *e = len - places;
  int trailing = 0;  // zeros left of the point, as in 1200.0
  while (trailing < len - 1 && tmp[trailing] == '0') ++trailing;
  *n = len - trailing;
  for (int i = 0; i < *n; ++i) digits[i] = tmp[len - 1 - i];
  return true;
}

}  // namespace

size_t FormatDouble(double v, char* out) {
  if (!std::isfinite(v)) {
    std::memcpy(out, "null", 4);
    return 4;
  }
  char* p = out;
  if (std::signbit(v)) {
    *p++ = '-';
    v = -v;
  }
  if (v == 0.0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<size_t>(p - out) + 3;
  }
  char digits[20];
  int n = 0;
  int e = 0;  // value = 0.digits x 10^e
  if (!ShortDecimal(v, digits, &n, &e)) {
    // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]xx".
    char sci[kMaxFloatText];
    auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* s = sci;
    for (; s < res.ptr && *s != 'e'; ++s) {
      if (*s != '.') digits[n++] = *s;
    }
    int exp10 = 0;
    std::from_chars(s + 1 + (s[1] == '+'), res.ptr, exp10);
    e = exp10 + 1;
  }

  if (n <= e && e <= 16) {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', e - n);
    p += e - n;
    std::memcpy(p, ".0", 2);
    p += 2;
  } else if (1 <= e && e <= 16) {
    std::memcpy(p, digits, e);
    p += e;
    *p++ = '.';
    std::memcpy(p, digits + e, n - e);
    p += n - e;
  } else if (-4 <= e && e <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', -e);
    p += -e;
    std::memcpy(p, digits, n);
    p += n;
  } else {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    p += WriteExponent(e - 1, p);
  }
  return static_cast<size_t>(p - out);
}

}  // namespace moxal
