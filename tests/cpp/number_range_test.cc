// Numbers beyond the range of a double whose digits start with "0.": the
// reader decides between "too large" (an error) and "too small" (zero) by
// the position of the first non-zero digit of the fraction, a path of its
// own next to the one for numbers with a non-zero integer part.

#include <cmath>
#include <string>

#include "check.h"
#include "values/json_reader.h"

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
  CHECK(!ParseJson("-0.00009e314", &v));  // -9e309
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
