// The JSON writer against the reference writer where its fast paths have
// edges: string lengths around the 8- and 16-byte blocks with an escape at
// every position, text that meets the end of the output buffer at every
// offset, integers at every digit count, and floats of every kind.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "../fuzz/json_model.h"
#include "../fuzz/json_text.h"
#include "check.h"
#include "values/builder.h"
#include "values/float_format.h"
#include "values/json_writer.h"

using namespace moxal;

namespace {

// Reports the first value whose text differs from the model's; returns
// whether they agreed.
bool SameAsModel(const Value& v) {
  std::string got = ToJson(v.ref());
  std::string want = fuzz::ModelJson(v.ref());
  if (got == want) return true;
  std::cerr << "  wrote " << got.substr(0, 200) << "\n   want " << want.substr(0, 200) << "\n";
  return false;
}

Value StringAndKey(const std::string& s) {
  Builder b;
  b.BeginArray();
  b.String(s);
  b.BeginObject();
  b.Key(s);
  b.Null();
  b.EndObject();
  b.EndArray();
  return b.Finish();
}

}  // namespace

TEST(StringsAroundBlockEdges) {
  // Escaped bytes, bytes just outside the escaped range, multi-byte UTF-8.
  const std::string specials[] = {"\"",   "\\", "\n",   "\b",       "\x01",
                                  "\x1f", " ",  "\x7f", "\xc3\xa9", std::string(1, '\0')};
  bool ok = SameAsModel(StringAndKey(""));
  for (size_t len = 1; len <= 40 && ok; ++len) {
    for (const std::string& special : specials) {
      for (size_t pos = 0; pos < len && ok; ++pos) {
        std::string s(len, 'a');
        s.replace(pos, 1, special);
        ok = SameAsModel(StringAndKey(s));
      }
    }
  }
  CHECK(ok);
}

TEST(TextMeetsBufferEndAtEveryOffset) {
  // Pieces of many lengths, so the buffer fills at every offset inside
  // strings, numbers and separators; then strings around the sizes where
  // the writer changes how it copies, with escapes at both ends.
  std::mt19937_64 rng(99);
  Builder b;
  b.BeginArray();
  size_t size = 0;
  for (int i = 0; size < 4 * kOutBufferSize; ++i) {
    std::string s(rng() % 120, 'x');
    if (!s.empty() && rng() % 3 == 0) s[rng() % s.size()] = '\n';
    b.String(s);
    b.Float(static_cast<double>(rng() % 100000) / 7.0);
    b.Unsigned(rng() >> (rng() % 64));
    size += s.size() + 30;
  }
  for (size_t n : {kOutBufferSize / 24 - 1, kOutBufferSize / 24, kOutBufferSize / 24 + 1,
                   kOutBufferSize - 1, kOutBufferSize, 2 * kOutBufferSize + 5}) {
    std::string s(n, 'y');
    s.front() = '"';
    s.back() = '\x02';
    b.String(s);
    b.String(std::string(n, 'z'));
  }
  b.EndArray();
  CHECK(SameAsModel(b.Finish()));
}

TEST(IntegersAtEveryDigitCount) {
  Builder b;
  b.BeginArray();
  uint64_t power = 1;
  for (int k = 0; k <= 19; ++k, power *= 10) {
    for (uint64_t u : {power - 1, power, power + 1}) {
      b.Unsigned(u);
      if (u != 0 && u <= uint64_t{INT64_MAX}) b.Negative(-static_cast<int64_t>(u));
    }
  }
  b.Unsigned(UINT64_MAX);
  b.Negative(INT64_MIN);
  b.Negative(INT64_MIN + 1);
  b.EndArray();
  CHECK(SameAsModel(b.Finish()));
}

TEST(FloatsAsTheModelWritesThem) {
  auto from_bits = [](uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  };
  std::vector<double> cases;
  std::mt19937_64 rng(4242);
  for (int i = 0; i < 200000; ++i) cases.push_back(from_bits(rng()));
  for (uint64_t f = 1; f < 3000; ++f) cases.push_back(from_bits(f));  // subnormals
  for (uint64_t e = 1; e < 2047; ++e) {  // each exponent's first, second and last
    for (uint64_t f : {uint64_t{0}, uint64_t{1}, (uint64_t{1} << 52) - 1}) {
      cases.push_back(from_bits(e << 52 | f));
    }
  }
  for (int x = -330; x <= 310; ++x) {  // short decimals at every exponent
    for (int d : {1, 5, 9, 12, 25, 99, 123, 999}) {
      std::string text = std::to_string(d) + "e" + std::to_string(x);
      cases.push_back(std::strtod(text.c_str(), nullptr));
    }
  }
  for (int i = 0; i < 100000; ++i) {  // prices, scores and whole numbers
    cases.push_back(static_cast<double>(rng() % 10000000) /
                    std::pow(10.0, static_cast<int>(rng() % 4)));
    cases.push_back(static_cast<double>(rng() >> (rng() % 64)));
  }
  int bad = 0;
  for (double v : cases) {
    for (double x : {v, -v}) {
      char buf[kMaxFloatText];
      std::string got(buf, FormatDouble(x, buf));
      std::string want = fuzz::ModelDouble(x);
      if (got != want && ++bad <= 5) std::cerr << "  wrote " << got << " want " << want << "\n";
    }
  }
  CHECK_EQ(bad, 0);
}
