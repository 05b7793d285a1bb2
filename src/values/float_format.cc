#include "values/float_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace moxal {

namespace {

// The most digits the shortest text of a double has.
constexpr int kMaxDigits = 17;

// Writes "e" and the exponent `x`: "-" when negative, no "+", no leading
// zeros. Returns the end of the text.
char* WriteExponent(int x, char* p) {
  *p++ = 'e';
  return std::to_chars(p, p + 8, x).ptr;
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
  int len = static_cast<int>(std::to_chars(digits, digits + kMaxDigits, m).ptr - digits);
  *e = len - places;
  *n = len;
  while (*n > 1 && digits[*n - 1] == '0') --*n;  // zeros left of the point, as in 1200.0
  return true;
}

// The shortest digits that read back as the positive finite `v` (nearest
// to it when several are that short) into `digits` (room for kMaxDigits),
// and the e with v = 0.digits x 10^e. Returns the number of digits.
int ShortestDigits(double v, char* digits, int* e) {
  int n = 0;
  if (ShortDecimal(v, digits, &n, e)) return n;
  // Scientific form: "d[.ddd]e[+-]xx".
  char sci[kMaxFloatText];
  auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const char* s = sci;
  for (; s < res.ptr && *s != 'e'; ++s) {
    if (*s != '.') digits[n++] = *s;
  }
  int exp10 = 0;
  std::from_chars(s + 1 + (s[1] == '+'), res.ptr, exp10);
  *e = exp10 + 1;
  return n;
}

// Writes 0.digits x 10^e (n digits) in the layout of float_format.h.
// Returns the end of the text.
char* LayOut(const char* digits, int n, int e, char* p) {
  if (n <= e && e <= 16) {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', e - n);
    p += e - n;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  if (1 <= e && e <= 16) {
    std::memcpy(p, digits, e);
    p += e;
    *p++ = '.';
    std::memcpy(p, digits + e, n - e);
    return p + (n - e);
  }
  if (-4 <= e && e <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', -e);
    p += -e;
    std::memcpy(p, digits, n);
    return p + n;
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    std::memcpy(p, digits + 1, n - 1);
    p += n - 1;
  }
  return WriteExponent(e - 1, p);
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
  char digits[kMaxDigits];
  int e;
  int n = ShortestDigits(v, digits, &e);
  return static_cast<size_t>(LayOut(digits, n, e, p) - out);
}

}  // namespace moxal
