// Numbers beyond the range of a double whose digits start with "0.": the
// reader decides between "too large" (an error) and "too small" (zero) by
// the position of the first non-zero digit of the fraction, a path of its
// own next to the one for numbers with a non-zero integer part. And short
// integers and decimals, which the reader converts itself instead of
// calling the general conversion, read as the general rules say all the
// same.

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "../fuzz/json_text.h"
#include "check.h"
#include "test_util.h"
#include "values/builder.h"
#include "values/json_reader.h"
#include "values/json_writer.h"
#include "values/number_order.h"
#include "values/value.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

// The float `text` reads as, or NaN when it does not read as a float.
double ReadFloat(const char* text) {
  Value v;
  if (!ParseJson(text, &v) || v.ref().tag() != tag::kFloat) return NAN;
  return v.ref().as_float();
}

}  // namespace

TEST(FractionOnlyNumbersOutOfRange) {
  // 0.1e310 is 1e309, past the largest double: an error.
  Value v;
  CHECK(!ParseJson("0.1e310", &v));
  CHECK(!ParseJson("-0.00009e314", &v));        // -9e309
  CHECK(!ParseJson("[0.0000000001e319]", &v));  // 1e309
  // In range once the leading zeros are counted.
  CHECK_EQ(ReadFloat("0.01e310"), 1e308);
  CHECK_EQ(ReadFloat("0.0000000001e318"), 1e308);
  // Below the smallest subnormal: zero, keeping the sign.
  double z = ReadFloat("0.001e-322");  // 1e-325
  CHECK(z == 0.0 && !std::signbit(z));
  z = ReadFloat("-0.5e-400");
  CHECK(z == 0.0 && std::signbit(z));
  // 1e-401 written with a large positive exponent: only counting the 700
  // leading zeros of the fraction tells that it is tiny, not huge.
  z = ReadFloat(("0." + std::string(700, '0') + "1e300").c_str());
  CHECK(z == 0.0 && !std::signbit(z));
  z = ReadFloat("0.00000e-99999");
  CHECK(z == 0.0 && !std::signbit(z));
}

TEST(ShortDecimalsAreCorrectlyRounded) {
  // Up to 20 digits with the point anywhere, around the 19 digits and the
  // 2^53 a double holds exactly; strtod is the reference.
  std::mt19937_64 rng(2024);
  int wrong = 0;
  for (int i = 0; i < 200000; ++i) {
    size_t int_digits = 1 + rng() % 19;
    size_t frac_digits = 1 + rng() % (20 - int_digits);
    std::string text = rng() % 4 == 0 ? "-" : "";
    text += static_cast<char>(int_digits == 1 ? '0' + rng() % 10 : '1' + rng() % 9);
    for (size_t d = 1; d < int_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    text += '.';
    for (size_t d = 0; d < frac_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    double want = std::strtod(text.c_str(), nullptr);
    // Inside an array too: a number that ends the text takes the general
    // path, as it could go on in a next chunk.
    Value array;
    double got =
        ParseJson("[" + text + "]", &array) ? (*array.ref().as_array().begin()).as_float() : NAN;
    if (ReadFloat(text.c_str()) != want) got = NAN;
    if (!(got == want && std::signbit(got) == std::signbit(want)) && ++wrong <= 5) {
      check::Fail(__FILE__, __LINE__, text);
    }
  }
  CHECK_EQ(wrong, 0);
}

TEST(IntegersOfAnyLengthHaveTheirKind) {
  // 1 to 21 digits, around the 19 that always fit, the 8 taken at once and
  // both integer ranges; strtoull, strtoll and strtod are the reference.
  std::mt19937_64 rng(77);
  int wrong = 0;
  for (int i = 0; i < 200000; ++i) {
    size_t digits = 1 + rng() % 21;
    bool negative = rng() % 2 == 0;
    std::string text = negative ? "-" : "";
    text += static_cast<char>(digits == 1 ? '0' + rng() % 10 : '1' + rng() % 9);
    for (size_t d = 1; d < digits; ++d) text += static_cast<char>('0' + rng() % 10);
    Value array;
    if (!ParseJson("[" + text + "," + text + "]", &array)) {
      if (++wrong <= 5) check::Fail(__FILE__, __LINE__, text);
      continue;
    }
    ValueRef got = *array.ref().as_array().begin();
    errno = 0;
    bool ok;
    if (negative) {
      long long want = std::strtoll(text.c_str(), nullptr, 10);
      ok = errno == 0 && want != 0
               ? got.tag() == tag::kNegative && got.as_negative() == want
               : got.tag() == tag::kFloat && got.as_float() == std::strtod(text.c_str(), nullptr);
    } else {
      unsigned long long want = std::strtoull(text.c_str(), nullptr, 10);
      ok = errno == 0
               ? got.tag() == tag::kUnsigned && got.as_unsigned() == want
               : got.tag() == tag::kFloat && got.as_float() == std::strtod(text.c_str(), nullptr);
    }
    if (!ok && ++wrong <= 5) check::Fail(__FILE__, __LINE__, text);
  }
  CHECK_EQ(wrong, 0);
}

TEST(DecimalsHalfwayBetweenDoublesRoundToEven) {
  // Exactly halfway between two doubles, and one digit to either side,
  // from 2^50 to 2^55 where 16 to 19 digits spell them; strtod (correctly
  // rounded, ties to even) is the reference.
  std::mt19937_64 rng(4711);
  int wrong = 0;
  for (int i = 0; i < 100000; ++i) {
    int binade = 50 + static_cast<int>(rng() % 5);  // the value is in [2^binade, 2^(binade+1))
    uint64_t odd = 2 * ((uint64_t{1} << 52) + rng() % (uint64_t{1} << 52)) + 1;
    // The midpoint odd * 2^(binade - 53) as decimal digits and a point.
    std::string text;
    if (binade >= 53) {
      text = std::to_string(odd << (binade - 53)) + ".0";
    } else {
      int places = 53 - binade;  // 1 to 3
      uint64_t scale = uint64_t{1} << places, pow10 = 1;
      for (int k = 0; k < places; ++k) pow10 *= 10;
      std::string frac = std::to_string((odd % scale) * (pow10 / scale));
      text = std::to_string(odd / scale) + "." + std::string(places - frac.size(), '0') + frac;
    }
    int nudge = static_cast<int>(rng() % 3) - 1;  // below, at or above the midpoint
    text.back() = static_cast<char>(text.back() + nudge);
    if (text.back() < '0' || text.back() > '9') continue;
    if (rng() % 2) text = "-" + text;
    double want = std::strtod(text.c_str(), nullptr);
    Value array;
    bool ok =
        ParseJson("[" + text + "]", &array) && (*array.ref().as_array().begin()).as_float() == want;
    if (!ok && ++wrong <= 5) check::Fail(__FILE__, __LINE__, text);
  }
  CHECK_EQ(wrong, 0);
}

TEST(DecimalsBesidePowersOfTwo) {
  // Just below a power of two the doubles are twice as close as just above
  // it, which the reader's correction of its first estimate must not miss.
  // strtod is the reference.
  int wrong = 0;
  for (int places = 1; places <= 4; ++places) {
    uint64_t pow10 = 1;
    for (int k = 0; k < places; ++k) pow10 *= 10;
    for (int bits = 40; (uint64_t{1} << bits) <= (uint64_t{1} << 62) / pow10; ++bits) {
      for (int nudge = -30; nudge <= 30; ++nudge) {
        uint64_t v = (uint64_t{1} << bits) * pow10 + static_cast<uint64_t>(nudge);
        std::string digits = std::to_string(v);
        std::string text =
            digits.substr(0, digits.size() - places) + "." + digits.substr(digits.size() - places);
        Value array;
        bool ok =
            ParseJson("[" + text + "]", &array) &&
            (*array.ref().as_array().begin()).as_float() == std::strtod(text.c_str(), nullptr);
        if (!ok && ++wrong <= 5) check::Fail(__FILE__, __LINE__, text);
      }
    }
  }
  CHECK_EQ(wrong, 0);
}

// Ordering by exact value: integers of both kinds and doubles near the
// places where doubles stop holding every integer (2^53, 2^63, 2^64),
// against the x87 long double, whose 64-bit significand holds every
// integer of either kind and every double exactly.
namespace {

struct Number {
  Value value;
  long double exact;
};

// An integer of `magnitude` (at most 2^63 when negative).
Number Integer(bool negative, uint64_t magnitude) {
  Builder b;
  if (!negative || magnitude == 0) {
    b.Unsigned(magnitude);
    Value v = b.Finish();
    return Number{v, static_cast<long double>(magnitude)};
  }
  magnitude = std::min(magnitude, uint64_t{1} << 63);
  b.Negative(static_cast<int64_t>(uint64_t{0} - magnitude));
  Value v = b.Finish();
  return Number{v, -static_cast<long double>(magnitude)};
}

Number Double(double d) {
  if (!std::isfinite(d)) d = 0x1p64;
  Builder b;
  b.Float(d);
  Value v = b.Finish();
  return Number{v, d};
}

// Random numbers crowded around the edges of exactness and of each kind.
Number RandomNumber(std::mt19937_64& rng) {
  static const double kEdges[] = {0, 1, 0x1p52, 0x1p53, 0x1p63, 0x1p64, 0x1p65};
  double edge = kEdges[rng() % std::size(kEdges)];
  int64_t offset = static_cast<int64_t>(rng() % 9) - 4;
  bool negative = rng() % 2 == 0;
  switch (rng() % 4) {
    case 0: {  // an integer near an edge
      if (edge >= 0x1p64) return Integer(negative, UINT64_MAX - rng() % 4);
      auto base = static_cast<uint64_t>(edge);
      uint64_t magnitude = offset < 0 && base < 4 ? uint64_t(-offset) : base + offset;
      return Integer(negative, magnitude);
    }
    case 1: {  // a double near an edge
      double d = negative ? -edge : edge;
      for (int64_t i = 0; i < (offset < 0 ? -offset : offset); ++i) {
        d = std::nextafter(d, offset < 0 ? -INFINITY : INFINITY);
      }
      return Double(rng() % 3 == 0 ? d + 0.5 : d);
    }
    case 2:
      return rng() % 3 == 0 ? Double(std::bit_cast<double>(rng())) : Integer(negative, rng());
    default:
      return Integer(negative, rng() >> (rng() % 64));
  }
}

}  // namespace

TEST(NumbersCompareByExactValue) {
  const char* const table[][3] = {
      // a, b, sign of a - b
      {"9007199254740993", "9007199254740992", "1"},
      {"9007199254740993", "9007199254740992.0", "1"},
      {"9007199254740993", "9007199254740994.0", "-1"},
      {"9223372036854775807", "9223372036854775808", "-1"},
      {"9223372036854775807", "9223372036854775808.0", "-1"},
      {"9223372036854775808", "9223372036854775808.0", "0"},
      {"18446744073709551615", "1.8446744073709552e19", "-1"},
      {"-9223372036854775808", "-9223372036854775807", "-1"},
      {"-9223372036854775808", "-9223372036854775808.0", "0"},
      {"-9223372036854775808", "-9.223372036854778e18", "1"},
      {"0", "-0.0", "0"},
      {"-0.0", "0.0", "0"},
      {"1", "1.0", "0"},
      {"-1", "-0.5", "-1"},
      {"2", "2.5", "-1"},
      {"-2", "-2.5", "1"},
      {"18446744073709551615", "-9223372036854775808", "1"},
      {"1e300", "18446744073709551615", "1"},
      {"-1e300", "-9223372036854775808", "-1"},
  };
  for (const auto& row : table) {
    Value a = Parse(row[0]);
    Value b = Parse(row[1]);
    int want = std::atoi(row[2]);
    CHECK_EQ(CompareNumbers(a.ref(), b.ref()), want);
    CHECK_EQ(CompareNumbers(b.ref(), a.ref()), -want);
  }
  std::mt19937_64 rng(53);
  int wrong = 0;
  for (int i = 0; i < 300000; ++i) {
    Number a = RandomNumber(rng);
    Number b = RandomNumber(rng);
    int want = (a.exact > b.exact) - (a.exact < b.exact);
    if (CompareNumbers(a.value.ref(), b.value.ref()) != want && ++wrong <= 5) {
      check::Fail(__FILE__, __LINE__, ToJson(a.value.ref()) + " vs " + ToJson(b.value.ref()));
    }
    // The largest double not above the number.
    double floor = FloorDouble(a.value.ref());
    if ((floor > a.exact || std::nextafter(floor, INFINITY) <= a.exact) && ++wrong <= 5) {
      check::Fail(__FILE__, __LINE__, "floor of " + ToJson(a.value.ref()));
    }
  }
  CHECK_EQ(wrong, 0);
}
