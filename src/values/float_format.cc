#include "values/float_format.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "values/digits.h"
#include "values/pow10_table.h"

namespace moxal {

namespace {

// Writes "e" and the exponent `x`: "-" when negative, no "+", no leading
// zeros. Returns the end of the text.
char* WriteExponent(int x, char* p) {
  *p++ = 'e';
  return std::to_chars(p, p + 8, x).ptr;
}

// A positive double is c * 2^q with an integer c: c < 2^53, and at least
// 2^52 unless the double is subnormal, when q is kMinQ.
constexpr int kFractionBits = 52;
constexpr uint64_t kHiddenBit = uint64_t{1} << kFractionBits;
constexpr int kMinQ = -1074;

// floor(log10(2^q)), floor(log10(3/4 * 2^q)) and floor(log2(10^e)) as
// integer multiplications and shifts, exact over every exponent of a double
// (tools/make_pow10_table.py checks them).
int FloorLog10Pow2(int q) { return static_cast<int>((int64_t{q} * 661971961083) >> 41); }
int FloorLog10ThreeQuartersPow2(int q) {
  return static_cast<int>((int64_t{q} * 661971961083 - 274743187321) >> 41);
}
int FloorLog2Pow10(int e) { return static_cast<int>((int64_t{e} * 913124641741) >> 38); }

// g * cp / 2^127 rounded to odd: the floor, with the lowest bit set when
// the fraction is not zero, so the result tells "exactly" from "just
// above". Only the fraction's bits from 2^-63 on count: g is 10^-k plus at
// most one unit, and for the k where 10^-k is exact, the one unit times cp
// stays below 2^64 and so out of sight, as the method requires.
uint64_t RoundToOdd(pow10::G g, uint64_t cp) {
  using U128 = unsigned __int128;
  U128 lo = U128{g.lo} * cp;
  U128 mid = U128{g.hi} * cp + static_cast<uint64_t>(lo >> 64);  // g * cp / 2^64
  auto floor = static_cast<uint64_t>(mid >> 63);
  bool cut = (static_cast<uint64_t>(mid) << 1) != 0;
  return floor | static_cast<uint64_t>(cut);
}

// A decimal number: digits * 10^exp10.
struct Decimal {
  uint64_t digits;
  int exp10;
};

// The shortest decimal that reads back as c * 2^q (nearest to it when
// several are that short). The bounds of the interval of
// decimals that read back as the double are scaled by 4 * 10^-k, with k
// chosen so that the double itself scales to 16 or 17 digits; one 128-bit
// product per bound gives them, rounded to odd, which is exact enough to
// decide between the candidates: the shortest has one digit fewer (a
// multiple of ten) or is one of the two integers around the scaled double.
Decimal ShortestDecimal(int q, uint64_t c) {
  const uint64_t out = c & 1;  // the bounds round to even: excluded for odd c
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl;
  int k;
  if (c != kHiddenBit || q == kMinQ) {
    cbl = cb - 2;
    k = FloorLog10Pow2(q);
  } else {  // a power of two: the gap below is half the gap above
    cbl = cb - 1;
    k = FloorLog10ThreeQuartersPow2(q);
  }
  const int h = q + FloorLog2Pow10(-k) + 2;
  const pow10::G g = pow10::kPow10[k - pow10::kPow10MinK];
  const uint64_t vb = RoundToOdd(g, cb << h);
  const uint64_t vbl = RoundToOdd(g, cbl << h);
  const uint64_t vbr = RoundToOdd(g, cbr << h);
  // Which candidate wins depends on the digits, so it is chosen with masks
  // rather than by branches that would mispredict half the time.
  const uint64_t s = vb >> 2;
  const uint64_t t = s + 1;
  const uint64_t uin = vbl + out <= s << 2;
  const uint64_t win = (t << 2) + out <= vbr;
  // When both are in: the nearer, the even one on a tie.
  const auto cmp = static_cast<int64_t>(vb - ((s + t) << 1));
  const uint64_t nearer_s = cmp < 0 || (cmp == 0 && (s & 1) == 0);
  const uint64_t take_s = ((uin ^ win) & uin) | (~(uin ^ win) & nearer_s);
  uint64_t digits = s + (take_s ^ 1);
  // One digit fewer (a multiple of ten) when exactly one of those is in.
  const uint64_t sp10 = s / 10 * 10;
  const uint64_t upin = vbl + out <= sp10 << 2;
  const uint64_t wpin = ((sp10 + 10) << 2) + out <= vbr;
  const uint64_t shorter = 0 - ((upin ^ wpin) & (s >= 10));  // all ones or zero
  digits = (shorter & (sp10 + 10 * (upin ^ 1))) | (~shorter & digits);
  return {digits, k};
}

// Whether the positive `v` below 10^12 is exactly what a decimal with at
// most three places reads as (prices, scores, measurements), and that
// decimal. It has at most 15 significant digits, so it is the shortest
// that reads back as `v`: two different decimals of 15 digits or fewer
// never read as the same double. Such numbers are common in documents, and
// this test is quicker than the general search.
bool ShortDecimal(double v, Decimal* d) {
  if (!(v < 1e12) || v < 1e-3) return false;
  // Rounded to a whole number by adding and taking away 2^52: below 2^52
  // the sum has no bits for a fraction, and the addition rounds to nearest
  // (std::nearbyint would be a call into the maths library).
  constexpr double kTwo52 = 4503599627370496.0;
  double scaled = (v * 1000.0 + kTwo52) - kTwo52;
  if (scaled / 1000.0 != v) return false;
  *d = {static_cast<uint64_t>(scaled), -3};
  return true;
}

// `d` with its digits scaled to exactly 17 (d.digits below 10^17), and
// exp10 lowered to match.
Decimal SeventeenDigits(Decimal d) {
  int len = DecimalLength(d.digits);
  return {d.digits * kPowersOf10[17 - len], d.exp10 - (17 - len)};
}

// The shortest decimal of the positive finite `v`, its digits scaled to
// exactly 17 (trailing zeros added).
Decimal ToDecimal(double v) {
  const auto bits = std::bit_cast<uint64_t>(v);
  const uint64_t fraction = bits & (kHiddenBit - 1);
  const auto biased = static_cast<int>(bits >> kFractionBits);
  const bool subnormal = biased == 0;
  const uint64_t c = subnormal ? fraction : fraction | kHiddenBit;
  const int q = subnormal ? kMinQ : biased + kMinQ - 1;
  if (-kFractionBits <= q && q < 0 && (c & ((uint64_t{1} << -q) - 1)) == 0) {
    return SeventeenDigits({c >> -q, 0});  // a whole number below 2^53: exact
  }
  if (Decimal d; ShortDecimal(v, &d)) return SeventeenDigits(d);
  Decimal d = ShortestDecimal(q, c);
  if (subnormal) return SeventeenDigits(d);
  // From c >= 2^52 the search gives 16 or 17 digits.
  const bool sixteen = d.digits < kPowersOf10[16];
  return {sixteen ? d.digits * 10 : d.digits, d.exp10 - sixteen};
}

// Trailing '0' characters of eight ASCII digits (8 when all are zeros).
int TrailingZeros(uint64_t digits) {
  uint64_t x = digits ^ 0x3030303030303030ULL;
  return x == 0 ? 8 : std::countl_zero(x) >> 3;
}

// The shortest digits of a positive finite double as 17 ASCII digits
// (significant ones, then '0's) in three registers: the first digit and
// two words of eight, lowest byte first.
struct Digits {
  uint64_t first;  // one ASCII digit
  uint64_t mid;    // digits 2 to 9
  uint64_t last;   // digits 10 to 17
  int n;           // significant digits, trailing zeros dropped
  int e;           // the value is 0.digits x 10^e
};

// The shortest digits that read back as the positive finite `v` (nearest
// to it when several are that short).
Digits ShortestDigits(double v) {
  const Decimal dec = ToDecimal(v);
  const uint64_t s = dec.digits;
  constexpr uint64_t k8 = 100000000;
  const uint64_t high = s / k8;  // nine digits
  const uint64_t first = high / k8;
  Digits d;
  d.first = '0' + first;
  d.mid = EightDigits(static_cast<uint32_t>(high - first * k8));
  d.last = EightDigits(static_cast<uint32_t>(s - high * k8));
  int zeros = TrailingZeros(d.last);
  if (zeros == 8) zeros += TrailingZeros(d.mid);
  d.n = 17 - zeros;
  d.e = dec.exp10 + 17;
  return d;
}

using digits_internal::Store8;

// Stores all 17 digits at `p`.
void StoreDigits(const Digits& d, char* p) {
  p[0] = static_cast<char>(d.first);
  Store8(p + 1, d.mid);
  Store8(p + 9, d.last);
}

// Writes 0.digits x 10^e in the layout of float_format.h, from registers
// only: all 17 digits are stored and the '.' and what follows it are
// stored over them. Returns the end of the text.
char* LayOut(const Digits& d, char* p) {
  const int n = d.n, e = d.e;
  if (n <= e && e <= 16) {  // the digits are followed by '0's already
    StoreDigits(d, p);
    std::memcpy(p + e, ".0", 2);
    return p + e + 2;
  }
  if (1 <= e && e <= 16) {  // digits e and on move one to the right
    StoreDigits(d, p);
    p[e] = '.';
    if (e <= 8) {
      Store8(p + e + 1, d.mid >> (8 * (e - 1)));
      Store8(p + 10, d.last);
    } else {
      Store8(p + e + 1, d.last >> (8 * (e - 9)));
    }
    return p + n + 1;
  }
  if (-4 <= e && e <= 0) {
    std::memcpy(p, "0.000000", 8);
    StoreDigits(d, p + 2 - e);
    return p + 2 - e + n;
  }
  p[0] = static_cast<char>(d.first);
  if (n > 1) {
    p[1] = '.';
    Store8(p + 2, d.mid);
    Store8(p + 10, d.last);
    p += n + 1;
  } else {
    p += 1;
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
  return static_cast<size_t>(LayOut(ShortestDigits(v), p) - out);
}

}  // namespace moxal
