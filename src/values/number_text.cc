#include "values/number_text.h"

#include <bit>
#include <cassert>
#include <limits>

#include "values/digits.h"

namespace moxal {

bool SplitNumber(const uint8_t* s, const uint8_t* e, NumberParts* n) {
  const uint8_t* p = s;
  n->negative = (p < e && *p == '-');
  if (n->negative) ++p;
  if (p == e || !IsDigit(*p)) return false;
  n->int_begin = p;
  if (*p == '0') {
    ++p;
  } else {
    while (p < e && IsDigit(*p)) ++p;
  }
  n->int_end = n->frac_begin = n->frac_end = p;
  if (p < e && *p == '.') {
    n->frac_begin = ++p;
    if (p == e || !IsDigit(*p)) return false;
    while (p < e && IsDigit(*p)) ++p;
    n->frac_end = p;
  }
  n->exp_begin = n->exp_end = p;
  if (p < e && (*p == 'e' || *p == 'E')) {
    n->exp_begin = ++p;
    if (p < e && (*p == '+' || *p == '-')) ++p;
    if (p == e || !IsDigit(*p)) return false;
    while (p < e && IsDigit(*p)) ++p;
    n->exp_end = p;
  }
  n->is_float = n->frac_end != n->frac_begin || n->exp_end != n->exp_begin;
  return p == e;
}

bool DecimalValue(const uint8_t* b, const uint8_t* e, uint64_t* out) {
  uint64_t v = 0;
  for (; b < e; ++b) {
    uint64_t d = *b - '0';
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

int64_t ScientificExponent(const NumberParts& n) {
  // The written exponent stops growing once it reaches 2^40: the sign stays
  // right for any token of fewer than 2^40 digits, and nothing can overflow.
  constexpr int64_t kCap = int64_t{1} << 40;
  int64_t exp = 0;
  const uint8_t* p = n.exp_begin;
  if (p != n.exp_end) {
    bool negative = (*p == '-');
    if (*p == '-' || *p == '+') ++p;
    for (; p < n.exp_end; ++p) {
      if (exp < kCap) exp = exp * 10 + (*p - '0');
    }
    if (negative) exp = -exp;
  }
  const uint8_t* q = n.int_begin;
  while (q < n.int_end && *q == '0') ++q;
  if (q < n.int_end) return static_cast<int64_t>(n.int_end - q) + exp;
  int64_t lead = 0;  // zeros before the first non-zero digit of the fraction
  for (q = n.frac_begin; q < n.frac_end && *q == '0'; ++q) ++lead;
  return -lead + exp;
}

namespace {

// The powers of ten up to 10^kSafeDigits, all exact as doubles (up to
// 10^22 they are).
constexpr double kExactPowersOf10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                       1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

#if defined(__SIZEOF_INT128__)
using U128 = unsigned __int128;
using I128 = __int128;

// m * 2^e as a double, for m of at most 54 bits and 2^e a normal double:
// both conversions and the product are exact.
double Scaled(uint64_t m, int e) {
  return static_cast<double>(m) * std::bit_cast<double>(static_cast<uint64_t>(1023 + e) << 52);
}

// The double nearest to t = v / 10^f by exact integer division: the
// quotient v * 2^k / 10^f, for the k that gives it 63 or 64 bits, rounded
// to its top 53 bits (to nearest, ties to even) by the bits below them and
// the remainder.
double DividedQuotient(uint64_t v, size_t f) {
  uint64_t d = kPowersOf10[f];
  int k = 63 - std::bit_width(v) + std::bit_width(d);  // 3 to 73
  U128 num = static_cast<U128>(v) << k;
  auto q = static_cast<uint64_t>(num / d);  // below 2^64: see k
  bool rest = static_cast<uint64_t>(num) - q * d != 0;
  int shift = std::bit_width(q) - 53;  // 10 or 11
  uint64_t m = q >> shift;
  uint64_t dropped = q & ((uint64_t{1} << shift) - 1);
  uint64_t half = uint64_t{1} << (shift - 1);
  if (dropped > half || (dropped == half && (rest || (m & 1) != 0))) ++m;
  return Scaled(m, shift - k);
}

// The same without a division of integers, for 2^53 < v < 2^64: the double
// quotient of v and 10^f is at most two units in the last place off t (v
// is rounded once, the quotient once), so it is moved to the nearest
// significand by comparing t with it in exact integers. False where the
// answer may lie past a power of two, where the spacing of doubles changes.
bool CorrectedQuotient(uint64_t v, size_t f, double* out) {
  double x = static_cast<double>(v) / kExactPowersOf10[f];  // above 2^53 / 10^19: normal
  uint64_t bits = std::bit_cast<uint64_t>(x);
  int e = static_cast<int>(bits >> 52) - 1075;  // x = m * 2^e, -63 <= e <= 8
  uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  U128 d = kPowersOf10[f];
  // (t - m * 2^e) / 2^e = r / w; every term stays below 2^127.
  U128 a = e < 0 ? static_cast<U128>(v) << -e : v;
  U128 b = e < 0 ? m * d : (m * d) << e;
  auto w = static_cast<I128>(e < 0 ? d : d << e);
  auto r = static_cast<I128>(a - b);
  while (2 * r > w) {
    r -= w;
    ++m;
  }
  while (2 * r < -w) {
    r += w;
    --m;
  }
  constexpr uint64_t kLow = uint64_t{1} << 52, kHigh = uint64_t{1} << 53;
  if (m < kLow || m > kHigh || (m == kLow && r < 0)) return false;
  if ((m & 1) != 0 && (2 * r == w || 2 * r == -w)) {  // halfway: to the even one
    if (r > 0) {
      ++m;
    } else {
      --m;
    }
  }
  *out = Scaled(m, e);
  return true;
}
#endif

}  // namespace

bool NearestQuotient(uint64_t v, size_t f, double* out) {
  assert(f >= 1 && f <= kSafeDigits);
  if (v <= (uint64_t{1} << 53)) {
    // v and 10^f are exact doubles, so one division rounds correctly.
    *out = static_cast<double>(v) / kExactPowersOf10[f];
    return true;
  }
#if defined(__SIZEOF_INT128__)
  if (!CorrectedQuotient(v, f, out)) *out = DividedQuotient(v, f);
  return true;
#else
  return false;
#endif
}

}  // namespace moxal
