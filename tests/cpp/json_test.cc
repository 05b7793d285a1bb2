// JSON reading and writing, table-driven. Every accepting case is also read
// through a source that hands out one byte at a time and through one that
// cuts the text at every position, so chunk boundaries inside tokens are
// exercised everywhere.

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/json_text.h"
#include "check.h"
#include "values/builder.h"
#include "values/equality.h"
#include "values/float_format.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;

namespace {

// Hands out the text in chunks of `step` bytes, with empty chunks between.
class ChunkedSource : public ByteSource {
 public:
  ChunkedSource(std::string_view text, size_t step) : text_(text), step_(step) {}
  bool Next(const uint8_t** data, size_t* size) override {
    if (pos_ >= text_.size()) return false;
    if (empty_next_) {
      empty_next_ = false;
      *data = nullptr;
      *size = 0;
      return true;
    }
    empty_next_ = true;
    size_t n = std::min(step_, text_.size() - pos_);
    // Copy into a buffer of our own so a reader that keeps pointers into an
    // old chunk reads garbage instead of the right bytes by luck.
    chunk_.assign(text_.data() + pos_, n);
    pos_ += n;
    *data = reinterpret_cast<const uint8_t*>(chunk_.data());
    *size = n;
    return true;
  }

 private:
  std::string_view text_;
  size_t step_;
  size_t pos_ = 0;
  bool empty_next_ = true;
  std::string chunk_;
};

bool ReadChunked(std::string_view text, size_t step, Value* out) {
  ChunkedSource src(text, step);
  return ReadJson(src, out);
}

struct RoundTrip {
  const char* in;
  const char* out;
};

const RoundTrip kRoundTrips[] = {
    {"[1,1.0,-0,0.5e1,18446744073709551615,18446744073709551616,"
     "-9223372036854775808,-9223372036854775809]",
     "[1,1.0,-0.0,5.0,18446744073709551615,1.8446744073709552e19,"
     "-9223372036854775808,-9.223372036854776e18]"},
    {"null", "null"},
    {" \t\r\n true \n", "true"},
    {"false", "false"},
    {"0", "0"},
    {"-1", "-1"},
    {"1e2", "100.0"},
    {"10E-1", "1.0"},
    {"1E+2", "100.0"},
    {"1e400000000000000000000000000000", nullptr},
    {"1e-400", "0.0"},
    {"-1e-400", "-0.0"},
    {"0e999", "0.0"},
    {"0e99999999999999999999999999", "0.0"},
    {"1e-99999999999999999999999999", "0.0"},
    {"0.000000000000000000000000000000000000000000001e45", "1.0"},
    {"123456789012345678901234567890", "1.2345678901234568e29"},
    {"2.2250738585072011e-308", "2.225073858507201e-308"},
    {"4.9406564584124654e-324", "5e-324"},
    {"2.4703282292062328e-324", "5e-324"},
    {"2.4703282292062327e-324", "0.0"},
    {"1.7976931348623157e308", "1.7976931348623157e308"},
    {"1.7976931348623158e308", "1.7976931348623157e308"},
    {"1.7976931348623159e308", nullptr},
    // Correct rounding with many digits: exactly halfway between two
    // doubles, then a hair above.
    {"9007199254740993", "9007199254740993"},
    {"9007199254740993.0", "9007199254740992.0"},
    {"9007199254740993.00000000000000000000000000000000000001", "9007199254740994.0"},
    // Around what the reader converts without the general path: 19 digits
    // and a numerator of at most 2^53.
    {"9999999999999999999", "9999999999999999999"},
    {"-999999999999999999", "-999999999999999999"},
    {"-0.0", "-0.0"},
    {"900719925474099.2", "900719925474099.2"},
    {"900719925474099.3", "900719925474099.2"},
    {"0.000000000000000001", "1e-18"},
    {"1.0000000000000000001", "1.0"},
    {"\"\"", "\"\""},
    {"\"a\\\"b\\\\c\\/d\"", "\"a\\\"b\\\\c/d\""},
    {"\"\\b\\f\\n\\r\\t\\u0001\\u001f\\u007f\"", "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\""},
    {"\"\\u00e9\\u00E9\xc3\xa9\"", "\"\xc3\xa9\xc3\xa9\xc3\xa9\""},
    {"\"\\ud83d\\ude00\"", "\"\xf0\x9f\x98\x80\""},
    {"\"\\u0000\"", "\"\\u0000\""},
    {"\"\xf4\x8f\xbf\xbf\"", "\"\xf4\x8f\xbf\xbf\""},
    {"{\"b\":1,\"a\":2,\"B\":3}", "{\"B\":3,\"a\":2,\"b\":1}"},
    {"{\"a\":1,\"a\":2}", "{\"a\":2}"},
    {"{\"a\":1,\"b\":0,\"a\":{\"x\":[]},\"a\":3}", "{\"a\":3,\"b\":0}"},
    {"{\"z\":1,\"\xc3\xa9\":2,\"ab\":3,\"a\":4,\"\":5}",
     "{\"\":5,\"a\":4,\"ab\":3,\"z\":1,\"\xc3\xa9\":2}"},
    {" [ 1 , [ ] , { } , { \"k\" : [ null ] } ] ", "[1,[],{},{\"k\":[null]}]"},
};

const char* const kRejected[] = {
    "",
    " ",
    "\n",
    "[1,2]x",
    "[1,2,]",
    "01",
    "-01",
    "+1",
    "1.",
    ".5",
    "-",
    "-a",
    "1e",
    "1e+",
    "1.e5",
    "NaN",
    "Infinity",
    "-Infinity",
    "'a'",
    "[",
    "]",
    "{",
    "}",
    "[1 2]",
    "{\"a\" 1}",
    "{\"a\":}",
    "{a:1}",
    "{\"a\":1,}",
    "{,}",
    "[,]",
    "nul",
    "nulll",
    "True",
    "tru",
    "\"abc",
    "\"\n\"",
    "\"\t\"",
    "\"\\x\"",
    "\"\\u12\"",
    "\"\\u12G4\"",
    "\"\\ud800\"",
    "\"\\ud800x\"",
    "\"\\ud800\\u0041\"",
    "\"\\udc00\"",
    "\"\\ud800\\ud800\"",
    "\"\xff\"",
    "\"\xc0\xaf\"",
    "\"\xed\xa0\x80\"",
    "\"\xf4\x90\x80\x80\"",
    "\"\xe2\x82\"",
    "\"\x80\"",
    "\xef\xbb\xbf[]",
    "1e400",
    "-1e400",
    "1e309",
    "[1e400]",
    "1797693134862315800000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000",
    "/* c */ 1",
    "[1]//",
    "\"a\" \"b\"",
    "{\"a\":1}{}",
};

std::string Nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

}  // namespace

TEST(ReadWriteTable) {
  for (const RoundTrip& t : kRoundTrips) {
    Value v;
    bool ok = ParseJson(t.in, &v);
    if (t.out == nullptr) {
      CHECK(!ok);
      continue;
    }
    CHECK(ok);
    if (!ok) {
      std::cerr << "  input: " << t.in << "\n";
      continue;
    }
    CHECK_EQ(ToJson(v.ref()), std::string(t.out));
    // Inside an array, where a token does not end the text (the reader has
    // quicker paths for tokens whose end it sees).
    Value in_array;
    CHECK(ParseJson("[" + std::string(t.in) + "]", &in_array));
    if (!in_array.empty()) CHECK_EQ(ToJson(in_array.ref()), "[" + std::string(t.out) + "]");
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
      Value w;
      CHECK(ReadChunked(t.in, step, &w));
      if (!w.empty()) CHECK(Equal(v.ref(), w.ref()));
    }
    // Writing is a fixed point.
    Value again;
    CHECK(ParseJson(t.out, &again));
    if (!again.empty()) CHECK_EQ(ToJson(again.ref()), std::string(t.out));
  }
}

TEST(StringsAroundTheBlockScan) {
  // One escape, raw UTF-8 (valid or not) or control byte at every position
  // of strings around the 16-byte blocks the reader scans, as a value and as
  // a key, in one block and in chunks.
  struct Piece {
    const char* text;
    const char* decoded;  // null: the string must not read
  };
  const Piece pieces[] = {{"\\n", "\n"},
                          {"\\u00e9", "\xc3\xa9"},
                          {"\xc3\xa9", "\xc3\xa9"},
                          {"\xe2\x82\xac", "\xe2\x82\xac"},
                          {"\x7f", "\x7f"},
                          {"\x01", nullptr},
                          {"\xc3x", nullptr},
                          {"\xed\xa0\x80", nullptr}};
  int wrong = 0;
  for (size_t len = 0; len <= 40; ++len) {
    for (size_t at = 0; at <= len; ++at) {
      for (const Piece& piece : pieces) {
        std::string fill_a(at, 'x'), fill_b(len - at, 'y');
        std::string str = "\"" + fill_a + piece.text + fill_b + "\"";
        std::string want = piece.decoded ? fill_a + piece.decoded + fill_b : "";
        for (bool key : {false, true}) {
          std::string text = key ? "{" + str + ":0}" : "[" + str + "]";
          for (size_t step : {text.size(), size_t{1}, size_t{16}, size_t{17}}) {
            Value v;
            bool ok = ReadChunked(text, step, &v);
            std::string_view got;
            if (ok && key) got = v.ref().as_object().member(0).key;
            if (ok && !key) got = (*v.ref().as_array().begin()).as_string();
            if ((ok != (piece.decoded != nullptr) || got != want) && ++wrong <= 5) {
              check::Fail(__FILE__, __LINE__, text + " in chunks of " + std::to_string(step));
            }
          }
        }
      }
    }
  }
  CHECK_EQ(wrong, 0);
}

TEST(RejectTable) {
  for (const char* in : kRejected) {
    std::string_view text(in);
    Value v;
    bool ok = ParseJson(text, &v);
    CHECK(!ok);
    if (ok) std::cerr << "  accepted: " << in << "\n";
    for (size_t step : {size_t{1}, size_t{3}}) CHECK(!ReadChunked(text, step, &v));
  }
  // A NUL byte after the value is not whitespace.
  Value v;
  CHECK(!ParseJson(std::string_view("[1]\0", 4), &v));
  CHECK(!ParseJson(std::string_view("\0", 1), &v));
}

TEST(NestingLimit) {
  Value v;
  CHECK(ParseJson(Nested(127, '[', ']'), &v));
  CHECK(!ParseJson(Nested(128, '[', ']'), &v));
  std::string objs;
  for (int i = 0; i < 126; ++i) objs += "{\"a\":";
  objs += "[]";
  for (int i = 0; i < 126; ++i) objs += "}";
  CHECK(ParseJson(objs, &v));
  CHECK_EQ(Depth(v.ref()), 127);
  objs = "[" + objs + "]";
  CHECK(!ParseJson(objs, &v));
  // The limit holds at any position, not only at the start.
  CHECK(!ParseJson("[1,{\"a\":" + Nested(127, '[', ']') + "}]", &v));
}

TEST(ElementsSplit) {
  std::string text = "[1, {\"b\":2,\"a\":[3]} ,\"x\"]";
  MemorySource src(text.data(), text.size());
  Value whole;
  std::vector<Value> elements;
  CHECK(ReadJsonElements(src, &whole, &elements));
  CHECK(whole.empty());
  CHECK_EQ(elements.size(), size_t{3});
  if (elements.size() == 3) {
    CHECK_EQ(ToJson(elements[1].ref()), std::string("{\"a\":[3],\"b\":2}"));
    CHECK_EQ(ToJson(elements[2].ref()), std::string("\"x\""));
  }
  // Not an array: the whole value.
  text = "{\"a\":[1]}";
  MemorySource obj(text.data(), text.size());
  elements.clear();
  CHECK(ReadJsonElements(obj, &whole, &elements));
  CHECK(elements.empty());
  CHECK(!whole.empty() && whole.ref().is_object());
  // Elements sit one level deep.
  std::string deep = "[" + Nested(126, '[', ']') + "]";
  MemorySource ok_src(deep.data(), deep.size());
  elements.clear();
  CHECK(ReadJsonElements(ok_src, &whole, &elements));
  deep = "[" + Nested(127, '[', ']') + "]";
  MemorySource bad_src(deep.data(), deep.size());
  CHECK(!ReadJsonElements(bad_src, &whole, &elements));
  for (const char* bad : {"[1,]", "[1", "[1]]", "[", "[]x"}) {
    MemorySource s(bad, std::strlen(bad));
    CHECK(!ReadJsonElements(s, &whole, &elements));
  }
}

// Reads `text` split at every byte: head [0, at) and tail [at, end). The
// parts read exactly when `at` lies between a "," of the array and the
// element after it, and then give the elements of the whole, in order.
TEST(ArraySplitInTwo) {
  std::string text = "[ {\"k\":\"},{\"} ,[1,[2]], \"s,\" ,null,{\"a\":{\"b\":1}}]  ";
  Value whole;
  std::vector<Value> expected;
  MemorySource all(text.data(), text.size());
  CHECK(ReadJsonElements(all, &whole, &expected));
  const size_t element_starts[] = {text.find("[1,"), text.find("\"s,"), text.find("null"),
                                   text.find("{\"a\"")};
  int splits = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    std::vector<Value> got;
    MemorySource head(text.data(), at);
    MemorySource tail(text.data() + at, text.size() - at);
    bool ok = ReadJsonArrayHead(head, &got) && ReadJsonArrayTail(tail, &got);
    // Between the "," before an element and its first byte.
    bool boundary = false;
    for (size_t start : element_starts) {
      size_t comma = text.rfind(',', start - 1);
      boundary |= at > comma && at <= start;
    }
    if (ok != boundary) check::Fail(__FILE__, __LINE__, "split at " + std::to_string(at));
    if (!ok) continue;
    ++splits;
    CHECK_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size() && i < expected.size(); ++i) {
      CHECK_EQ(ToJson(got[i].ref()), ToJson(expected[i].ref()));
    }
  }
  CHECK_EQ(splits, 5);  // one element has a space before it
  // An error past the split is an error of the tail; the nesting limit
  // counts the array the tail is inside.
  for (std::string bad : {std::string("1,2,]"), std::string("1 2]"), std::string("1]x"),
                          "[" + Nested(126, '[', ']') + "]]"}) {
    std::vector<Value> got;
    MemorySource tail(bad.data(), bad.size());
    CHECK(!ReadJsonArrayTail(tail, &got));
  }
  std::string fits = Nested(126, '[', ']') + "]";
  std::vector<Value> got;
  MemorySource tail(fits.data(), fits.size());
  CHECK(ReadJsonArrayTail(tail, &got));
}

TEST(FloatText) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {30.0, "30.0"},
      {100.0, "100.0"},
      {0.1, "0.1"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1e21, "1e21"},
      {1.5e16, "1.5e16"},
      {1.2345678901234568e17, "1.2345678901234568e17"},
      {123.456, "123.456"},
      {1234567890123456.8, "1234567890123456.8"},
      {123456789.125, "123456789.125"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1.5e-5, "0.000015"},
      {1e-7, "1e-7"},
      {5e-324, "5e-324"},
      {-2.5e-10, "-2.5e-10"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {9007199254740992.0, "9007199254740992.0"},
      {1.8446744073709552e19, "1.8446744073709552e19"},
      {-9.223372036854776e18, "-9.223372036854776e18"},
      {0.3, "0.3"},
      {2.0 / 3.0, "0.6666666666666666"},
      {std::nan(""), "null"},
      {INFINITY, "null"},
  };
  for (const Case& c : cases) {
    char buf[kMaxFloatText];
    size_t n = FormatDouble(c.v, buf);
    CHECK_EQ(std::string(buf, n), std::string(c.text));
  }
}

TEST(IntegerExtremesWrite) {
  Builder b;
  b.BeginArray();
  b.Unsigned(0);
  b.Unsigned(18446744073709551615ULL);
  b.Negative(-1);
  b.Negative(INT64_MIN);
  b.EndArray();
  Value v = b.Finish();
  CHECK_EQ(ToJson(v.ref()), std::string("[0,18446744073709551615,-1,-9223372036854775808]"));
}

TEST(WriterThroughSmallSink) {
  // A long string goes past the output buffer; the text must be whole.
  std::string big(20000 + 2 * kOutBufferSize, 'x');
  big[5000] = '"';
  big[15000] = '\n';
  Builder b;
  b.BeginArray();
  b.String(big);
  b.String("after");
  b.EndArray();
  Value v = b.Finish();
  std::string text = ToJson(v.ref());
  Value back;
  CHECK(ParseJson(text, &back));
  CHECK(!back.empty() && Equal(v.ref(), back.ref()));
  CHECK_EQ(text.size(), big.size() + 2 + 12);
}

TEST(FailingSinkStopsWriter) {
  struct Failing : ByteSink {
    size_t calls = 0;
    bool WriteAll(const uint8_t*, size_t) override {
      ++calls;
      return false;
    }
  } sink;
  Builder b;
  b.BeginArray();
  for (int i = 0; i < 5000; ++i) b.String("some text that fills the buffer");
  b.EndArray();
  Value v = b.Finish();
  OutBuffer out(&sink);
  CHECK(!WriteJson(v.ref(), out));
  CHECK(!out.Flush());
  CHECK_EQ(sink.calls, size_t{1});
}

TEST(FloatTextIsShortestAndExact) {
  // Every float's text reads back as the same double and has exactly as
  // many significant digits as the shortest round-trip form.
  std::mt19937_64 rng(31337);
  auto significant = [](std::string_view text) {
    std::string digits;
    for (char c : text) {
      if (c == 'e') break;
      if (c >= '0' && c <= '9') digits += c;
    }
    size_t a = digits.find_first_not_of('0');
    size_t b = digits.find_last_not_of('0');
    return a == std::string::npos ? 0 : static_cast<int>(b - a + 1);
  };
  int checked = 0;
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 3) {
      case 0:  // decimals with few places, the common case
        v = static_cast<double>(rng() % 100000000000000ULL) /
            std::pow(10.0, static_cast<int>(rng() % 6));
        break;
      case 1: {
        uint64_t bits = rng();
        std::memcpy(&v, &bits, 8);
        if (!std::isfinite(v)) continue;
        break;
      }
      default:
        v = static_cast<double>(rng() % 1000) / 8.0 + static_cast<double>(rng() % 3) * 1e-3;
    }
    char buf[kMaxFloatText];
    std::string text(buf, FormatDouble(v, buf));
    double back = std::strtod(text.c_str(), nullptr);
    char ref[64];
    auto r = std::to_chars(ref, ref + sizeof ref, v, std::chars_format::scientific);
    bool ok = back == v && significant(text) == significant(std::string_view(ref, r.ptr - ref)) &&
              std::signbit(back) == std::signbit(v);
    if (!ok) {
      std::cerr << "  " << text << " for " << std::string(ref, r.ptr) << "\n";
      CHECK(ok);
      return;
    }
    ++checked;
  }
  CHECK(checked > 250000);
}
