// Randomised properties of the reader and writer, with a fixed seed so a
// failure repeats: random values are written as the reference writer writes
// them, read back equal and write the same text again; random and mutated
// texts never crash the reader, and whatever it accepts also round-trips;
// runs of objects that mostly repeat a few shapes read (and build) as a
// model of them says.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/json_checks.h"
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
    static const char* const pieces[] = {"a",
                                         "b",
                                         "key",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\n",
                                         "\t",
                                         "\x01",
                                         "\x1f",
                                         "\x7f",
                                         "\xc3\xa9",
                                         "\xe2\x82\xac",
                                         "\xf0\x9f\x98\x80",
                                         "",
                                         " ",
                                         "0",
                                         "$gt",
                                         "."};
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

// Objects that mostly share a few shapes, as the documents of a collection
// do, each also as the text a correct reader must turn it into: members in
// key order, the last of repeated keys winning.
class ShapedObjects {
 public:
  explicit ShapedObjects(uint64_t seed) : rng_(seed) {
    for (int i = 0; i < 4; ++i) {
      std::vector<int> shape;
      size_t n = 1 + Below(9);
      for (size_t k = 0; k < n; ++k) shape.push_back(static_cast<int>(Below(std::size(kKeys))));
      shapes_.push_back(shape);
    }
  }

  // One object as JSON text (`text`), as what reading it must give
  // (`expected`, written back), and driven into `b`.
  void Make(int depth, std::string* text, std::string* expected, Builder& b) {
    std::vector<int> keys = Mutate(shapes_[Below(shapes_.size())]);
    std::map<std::string, std::string> model;  // decoded key to written value
    *text += '{';
    b.BeginObject();
    for (size_t i = 0; i < keys.size(); ++i) {
      const Key& k = kKeys[keys[i]];
      if (i > 0) *text += ',';
      *text += std::string("\"") + k.in + "\":";
      b.Key(k.bytes);
      std::string value;
      MakeValue(depth, text, &value, b);
      model[k.bytes] = std::string("\"") + k.out + "\":" + value;
    }
    *text += '}';
    b.EndObject();
    *expected += '{';
    for (auto it = model.begin(); it != model.end(); ++it) {
      if (it != model.begin()) *expected += ',';
      *expected += it->second;
    }
    *expected += '}';
  }

 private:
  struct Key {
    const char* in;     // as read
    std::string bytes;  // decoded
    const char* out;    // as written
  };
  // Prefixes of each other, escapes (a key the text spells two ways
  // included), long keys on both sides of the 16-byte scan and the 255-byte
  // short form.
  static inline const Key kKeys[] = {
      {"a", "a", "a"},
      {"ab", "ab", "ab"},
      {"b", "b", "b"},
      {"", "", ""},
      {"_id", "_id", "_id"},
      {"name", "name", "name"},
      {"fifteen_bytes__", "fifteen_bytes__", "fifteen_bytes__"},
      {"sixteen_bytes___", "sixteen_bytes___", "sixteen_bytes___"},
      {"a_key_of_forty_bytes_for_the_long_match_", "a_key_of_forty_bytes_for_the_long_match_",
       "a_key_of_forty_bytes_for_the_long_match_"},
      {"q\\\"q", "q\"q", "q\\\"q"},
      {"\\u00e9", "\xc3\xa9", "\xc3\xa9"},
      {"\xc3\xa9", "\xc3\xa9", "\xc3\xa9"},
      {"tab\\t", "tab\t", "tab\\t"},
      {"B", "B", "B"},
  };

  uint64_t Below(uint64_t n) { return rng_() % n; }

  // The keys of `shape`, now and then changed the ways documents differ.
  std::vector<int> Mutate(std::vector<int> keys) {
    switch (Below(8)) {
      case 0:
        keys.erase(keys.begin() + static_cast<long>(Below(keys.size())));
        break;
      case 1:
        std::swap(keys[Below(keys.size())], keys[Below(keys.size())]);
        break;
      case 2:
        keys[Below(keys.size())] = static_cast<int>(Below(std::size(kKeys)));
        break;
      case 3:
        keys.push_back(keys[Below(keys.size())]);  // a repeated key
        break;
      case 4:
        keys.push_back(static_cast<int>(Below(std::size(kKeys))));
        break;
      case 5:  // many members, past what a shape holds
        while (keys.size() < 70) keys.push_back(static_cast<int>(Below(std::size(kKeys))));
        break;
      default:
        break;
    }
    return keys;
  }

  void MakeValue(int depth, std::string* text, std::string* expected, Builder& b) {
    uint64_t kind = Below(depth < 3 ? 5 : 3);
    if (kind == 0) {
      std::string n = std::to_string(Below(1000));
      *text += n;
      *expected += n;
      b.Unsigned(std::stoull(n));
    } else if (kind == 1) {
      *text += "\"v\"";
      *expected += "\"v\"";
      b.String("v");
    } else if (kind == 2) {
      *text += "[]";
      *expected += "[]";
      b.BeginArray();
      b.EndArray();
    } else if (kind == 3) {
      Make(depth + 1, text, expected, b);
    } else {  // an array of objects, which repeat shapes at one depth
      *text += '[';
      *expected += '[';
      b.BeginArray();
      for (uint64_t i = 0, n = 1 + Below(3); i < n; ++i) {
        if (i > 0) *text += ',', *expected += ',';
        Make(depth + 1, text, expected, b);
      }
      *text += ']';
      *expected += ']';
      b.EndArray();
    }
  }

  std::mt19937_64 rng_;
  std::vector<std::vector<int>> shapes_;
};

}  // namespace

TEST(RecurringShapesReadAndBuildAsTheModelSays) {
  ShapedObjects gen(4242);
  Builder b;
  std::string text = "[";
  std::vector<std::string> expected;
  int built_wrong = 0;
  for (int i = 0; i < 3000; ++i) {
    if (i > 0) text += ',';
    std::string want;
    gen.Make(1, &text, &want, b);
    if (ToJson(b.Finish().ref()) != want && ++built_wrong <= 3) {
      check::Fail(__FILE__, __LINE__, "built wrong: " + want);
    }
    expected.push_back(want);
  }
  text += ']';
  CHECK_EQ(built_wrong, 0);
  // In one block, and in chunks that cut keys and strings everywhere.
  for (std::vector<size_t> chunks : {std::vector<size_t>{text.size()}, {7, 1, 30, 16, 0, 5}}) {
    Value whole;
    std::vector<Value> elements;
    fuzz::ChunkedSource src(text, chunks);
    CHECK(ReadJsonElements(src, &whole, &elements));
    CHECK_EQ(elements.size(), expected.size());
    int read_wrong = 0;
    for (size_t i = 0; i < elements.size() && i < expected.size(); ++i) {
      if (ToJson(elements[i].ref()) != expected[i] && ++read_wrong <= 3) {
        check::Fail(__FILE__, __LINE__, "read wrong: " + expected[i]);
      }
    }
    CHECK_EQ(read_wrong, 0);
  }
}

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
      CHECK(ParseJson(out, &again) && Equal(v.ref(), again.ref()) && ToJson(again.ref()) == out);
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
