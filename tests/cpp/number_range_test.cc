// Numbers beyond the range of a double whose digits start with "0.": the
// reader decides between "too large" (an error) and "too small" (zero) by
// the position of the first non-zero digit of the fraction, a path of its
// own next to the one for numbers with a non-zero integer part. And short
// integers and decimals, which the reader converts itself instead of
// calling the general conversion, read as the general rules say all the
// same.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "../fuzz/json_text.h"
#include "check.h"
#include "values/json_reader.h"
#include "values/value.h"

using namespace moxal;

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
