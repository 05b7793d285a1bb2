// Randomised properties of the reader and writer, with a fixed seed so a
// failure repeats: random values are written as the reference writer writes
// them, read back equal and write the same text again; random and mutated
// texts never crash the reader, and whatever it accepts also round-trips.

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "../fuzz/json_model.h"
#include "check.h"
#include "values/builder.h"
#include "values/equality.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;

namespace {

class RandomValues {
 public:
  explicit RandomValues(uint64_t seed) : rng_(seed) {}

  Value Make() {
    b_.Reset();
    Node(0);
    return b_.Finish();
  }

  std::mt19937_64& rng() { return rng_; }

 private:
  uint64_t Below(uint64_t n) { return rng_() % n; }

  std::string Text() {
    static const char* const pieces[] = {
        "a", "b", "key", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\x7f",
        "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "", " ", "0", "$gt", "."};
    std::string s;
    size_t n = Below(6);
    for (size_t i = 0; i < n; ++i) s += pieces[Below(std::size(pieces))];
    if (Below(8) == 0) s.push_back('\0');
    return s;
  }

  double Double() {
    switch (Below(4)) {
      case 0:
        return static_cast<double>(static_cast<int64_t>(rng_())) / 1024.0;
      case 1: {
        double d;
        uint64_t bits = rng_();
        std::memcpy(&d, &bits, 8);
        return std::isfinite(d) ? d : 0.5;
      }
      case 2:
        return std::ldexp(static_cast<double>(Below(1000)), static_cast<int>(Below(2000)) - 1074);
      default:
        return static_cast<double>(Below(100)) / 10.0;
    }
  }

  void Node(int depth) {
    int kinds = depth >= 6 ? 6 : 8;
    switch (Below(kinds)) {
      case 0:
        b_.Null();
        return;
      case 1:
        b_.Bool(Below(2) == 0);
        return;
      case 2:
        b_.Unsigned(Below(2) ? Below(100) : rng_());
        return;
      case 3: {
        int64_t v = -static_cast<int64_t>(Below(1000)) - 1;
        if (Below(4) == 0) v = INT64_MIN + static_cast<int64_t>(Below(3));
        b_.Negative(v);
        return;
      }
      case 4:
        b_.Float(Double());
        return;
      case 5:
        b_.String(Text());
        return;
      case 6: {
        b_.BeginArray();
        size_t n = Below(5);
        for (size_t i = 0; i < n; ++i) Node(depth + 1);
        b_.EndArray();
        return;
      }
      default: {
        b_.BeginObject();
        size_t n = Below(6);
        for (size_t i = 0; i < n; ++i) {
          b_.Key(Text());
          Node(depth + 1);
        }
        b_.EndObject();
        return;
      }
    }
  }

  std::mt19937_64 rng_;
  Builder b_;
};

}  // namespace

TEST(RandomValuesRoundTrip) {
  RandomValues gen(12345);
  int failures = 0;
  for (int i = 0; i < 20000 && failures < 5; ++i) {
    Value v = gen.Make();
    std::string text = ToJson(v.ref());
    Value back;
    bool ok = ParseJson(text, &back);
    bool same = ok && Equal(v.ref(), back.ref()) && ToJson(back.ref()) == text &&
                text == fuzz::ModelJson(v.ref());
    if (!same) {
      ++failures;
      std::cerr << "  round trip failed for " << text << "\n";
    }
  }
  CHECK_EQ(failures, 0);
}

TEST(RandomBytesNeverCrash) {
  std::mt19937_64 rng(777);
  const char alphabet[] = "[]{}\",:0123456789-+.eE \\utrfalsn\x80\xc3\xff\x01";
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    size_t n = rng() % 24;
    for (size_t j = 0; j < n; ++j) {
      text.push_back(rng() % 4 ? alphabet[rng() % (sizeof alphabet - 1)]
                               : static_cast<char>(rng()));
    }
    Value v;
    if (ParseJson(text, &v)) {
      ++accepted;
      std::string out = ToJson(v.ref());
      Value again;
      CHECK(ParseJson(out, &again) && Equal(v.ref(), again.ref()) &&
            ToJson(again.ref()) == out);
    }
  }
  CHECK(accepted > 100);  // the alphabet does produce valid texts
}

TEST(MutatedTextsNeverCrash) {
  RandomValues gen(99);
  auto& rng = gen.rng();
  for (int i = 0; i < 20000; ++i) {
    Value v = gen.Make();
    std::string text = ToJson(v.ref());
    if (text.empty()) continue;
    // Flip, drop or duplicate a few bytes.
    for (int k = 0; k < 3; ++k) {
      size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0:
          text[at] = static_cast<char>(rng());
          break;
        case 1:
          text.erase(at, 1);
          break;
        default:
          text.insert(at, 1, text[at]);
          break;
      }
      if (text.empty()) break;
    }
    Value w;
    if (ParseJson(text, &w)) {
      std::string out = ToJson(w.ref());
      Value again;
      CHECK(ParseJson(out, &again) && Equal(w.ref(), again.ref()));
    }
  }
}
