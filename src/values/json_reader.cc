#include "values/json_reader.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "values/builder.h"
#include "values/swar.h"
#include "values/utf8.h"

namespace moxal {

namespace {

// Byte classes inside a string: 0 plain ASCII, 1 part of a multi-byte UTF-8
// sequence, 2 a byte that ends the fast scan ('"', '\\' or a control byte).
struct StringClasses {
  uint8_t cls[256] = {};
  constexpr StringClasses() {
    for (int c = 0; c < 0x20; ++c) cls[c] = 2;
    for (int c = 0x80; c < 0x100; ++c) cls[c] = 1;
    cls['"'] = 2;
    cls['\\'] = 2;
  }
};
constexpr StringClasses kStr;

// Bytes that can be part of a number token.
struct NumberChars {
  bool in[256] = {};
  constexpr NumberChars() {
    for (int c = '0'; c <= '9'; ++c) in[c] = true;
    in['-'] = in['+'] = in['.'] = in['e'] = in['E'] = true;
  }
};
constexpr NumberChars kNum;

inline bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

inline int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Reader {
 public:
  explicit Reader(ByteSource& src) : src_(src) {}

  bool ReadOne(Value* out) {
    int c = Peek();
    if (!ParseValue(c, 0) || !b_.ok() || !AtEnd()) return false;
    *out = b_.Finish();
    return true;
  }

  bool ReadElements(Value* out, std::vector<Value>* elements) {
    int c = Peek();
    if (c != '[') {
      if (!ParseValue(c, 0) || !b_.ok() || !AtEnd()) return false;
      *out = b_.Finish();
      return true;
    }
    ++p_;
    c = Peek();
    if (c == ']') {
      ++p_;
      return AtEnd();
    }
    for (;;) {
      if (!ParseValue(c, 1) || !b_.ok()) return false;
      elements->push_back(b_.Finish());
      c = Peek();
      if (c == ']') break;
      if (c != ',') return false;
      ++p_;
      c = Peek();
    }
    ++p_;
    return AtEnd();
  }

 private:
  // Moves to the next non-empty chunk; false at the end of the input.
  bool Fill() {
    const uint8_t* data;
    size_t size;
    while (src_.Next(&data, &size)) {
      if (size != 0) {
        p_ = data;
        end_ = data + size;
        return true;
      }
    }
    p_ = end_ = nullptr;
    return false;
  }

  // The next byte after whitespace, not consumed, or -1 at the end.
  int Peek() {
    for (;;) {
      while (p_ < end_) {
        uint8_t c = *p_;
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return c;
        ++p_;
      }
      if (!Fill()) return -1;
    }
  }

  // The next byte, consumed, or -1 at the end.
  int Get() {
    if (p_ == end_ && !Fill()) return -1;
    return *p_++;
  }

  bool AtEnd() { return Peek() == -1 && !src_.failed(); }

  // Parses the value starting with byte `c` (not yet consumed) inside
  // `depth` open containers.
  bool ParseValue(int c, int depth) {
    switch (c) {
      case '{':
        return ParseObject(depth + 1);
      case '[':
        return ParseArray(depth + 1);
      case '"':
        ++p_;
        return ParseString(false);
      case 't':
        if (!Expect("true", 4)) return false;
        b_.Bool(true);
        return true;
      case 'f':
        if (!Expect("false", 5)) return false;
        b_.Bool(false);
        return true;
      case 'n':
        if (!Expect("null", 4)) return false;
        b_.Null();
        return true;
      default:
        if (c == '-' || IsDigit(static_cast<uint8_t>(c))) return ParseNumber();
        return false;
    }
  }

  bool ParseArray(int depth) {
    if (depth > kMaxNesting) return false;
    ++p_;
    b_.BeginArray();
    int c = Peek();
    if (c == ']') {
      ++p_;
      b_.EndArray();
      return true;
    }
    for (;;) {
      if (!ParseValue(c, depth)) return false;
      c = Peek();
      if (c == ']') break;
      if (c != ',') return false;
      ++p_;
      c = Peek();
    }
    ++p_;
    b_.EndArray();
    return true;
  }

  bool ParseObject(int depth) {
    if (depth > kMaxNesting) return false;
    ++p_;
    b_.BeginObject();
    int c = Peek();
    if (c == '}') {
      ++p_;
      b_.EndObject();
      return true;
    }
    for (;;) {
      if (c != '"') return false;
      ++p_;
      if (!ParseString(true)) return false;
      if (Peek() != ':') return false;
      ++p_;
      if (!ParseValue(Peek(), depth)) return false;
      c = Peek();
      if (c == '}') break;
      if (c != ',') return false;
      ++p_;
      c = Peek();
    }
    ++p_;
    b_.EndObject();
    return true;
  }

  bool Expect(const char* lit, size_t n) {
    if (static_cast<size_t>(end_ - p_) >= n) {
      for (size_t i = 0; i < n; ++i) {
        if (p_[i] != static_cast<uint8_t>(lit[i])) return false;
      }
      p_ += n;
      return true;
    }
    for (size_t i = 0; i < n; ++i) {
      if (Get() != static_cast<uint8_t>(lit[i])) return false;
    }
    return true;
  }

  void Emit(std::string_view s, bool key) {
    if (key) {
      b_.Key(s);
    } else {
      b_.String(s);
    }
  }

  // Called just past the opening quote.
  bool ParseString(bool key) {
    const uint8_t* start = p_;
    uint64_t highs = 0;
    while (end_ - p_ >= 8) {
      uint64_t w = swar::Load(p_);
      uint64_t stops = swar::StringStops(w);
      if (stops != 0) {
        unsigned i = swar::FirstByte(stops);
        // Only the bytes before the stop count towards "non-ASCII seen".
        highs |= w & swar::kHighs & ((uint64_t{1} << (8 * i)) - 1);
        p_ += i;
        goto scanned;
      }
      highs |= w & swar::kHighs;
      p_ += 8;
    }
    while (p_ < end_) {
      uint8_t k = kStr.cls[*p_];
      if (k > 1) break;
      highs |= k;
      ++p_;
    }
  scanned:
    uint8_t high = highs != 0;
    if (p_ < end_ && *p_ == '"') {
      size_t n = static_cast<size_t>(p_ - start);
      if (high && !IsValidUtf8(start, n)) return false;
      Emit(std::string_view(reinterpret_cast<const char*>(start), n), key);
      ++p_;
      return true;
    }
    return ParseStringSlow(start, high, key);
  }

  // The string has escapes or crosses a chunk boundary: collect it in the
  // scratch buffer.
  bool ParseStringSlow(const uint8_t* start, uint8_t high, bool key) {
    scratch_.assign(reinterpret_cast<const char*>(start),
                    static_cast<size_t>(p_ - start));
    for (;;) {
      if (p_ == end_ && !Fill()) return false;
      const uint8_t* run = p_;
      while (p_ < end_) {
        uint8_t k = kStr.cls[*p_];
        if (k > 1) break;
        high |= k;
        ++p_;
      }
      scratch_.append(reinterpret_cast<const char*>(run),
                      static_cast<size_t>(p_ - run));
      if (p_ == end_) continue;
      uint8_t c = *p_++;
      if (c == '"') break;
      if (c != '\\') return false;  // an unescaped control byte
      int e = Get();
      char simple;
      switch (e) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!ParseUnicodeEscape(&cp)) return false;
          uint8_t utf8[4];
          size_t n = EncodeUtf8(cp, utf8);
          scratch_.append(reinterpret_cast<const char*>(utf8), n);
          if (cp >= 0x80) high = 1;
          continue;
        }
        default:
          return false;
      }
      scratch_.push_back(simple);
    }
    if (high && !IsValidUtf8(reinterpret_cast<const uint8_t*>(scratch_.data()),
                             scratch_.size())) {
      return false;
    }
    Emit(scratch_, key);
    return true;
  }

  bool ParseHex4(uint32_t* out) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = HexValue(Get());
      if (h < 0) return false;
      v = (v << 4) | static_cast<uint32_t>(h);
    }
    *out = v;
    return true;
  }

  // Called just past "\u"; a high surrogate must be followed at once by an
  // escaped low surrogate.
  bool ParseUnicodeEscape(uint32_t* cp) {
    uint32_t u;
    if (!ParseHex4(&u)) return false;
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      uint32_t lo;
      if (Get() != '\\' || Get() != 'u' || !ParseHex4(&lo)) return false;
      if (lo < 0xDC00 || lo > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
    }
    *cp = u;
    return true;
  }

  bool ParseNumber() {
    const uint8_t* start = p_;
    while (p_ < end_ && kNum.in[*p_]) ++p_;
    if (p_ < end_) return ConvertNumber(start, p_);
    // The token runs up to the end of the chunk: gather it across chunks.
    number_.assign(start, p_);
    while (Fill()) {
      while (p_ < end_ && kNum.in[*p_]) number_.push_back(*p_++);
      if (p_ < end_) break;
    }
    return ConvertNumber(number_.data(), number_.data() + number_.size());
  }

  bool ConvertNumber(const uint8_t* s, const uint8_t* e) {
    const uint8_t* p = s;
    bool neg = (*p == '-');
    if (neg) ++p;
    if (p == e) return false;
    const uint8_t* int_begin = p;
    if (*p == '0') {
      ++p;
    } else if (*p >= '1' && *p <= '9') {
      while (p < e && IsDigit(*p)) ++p;
    } else {
      return false;
    }
    const uint8_t* int_end = p;
    bool is_float = false;
    const uint8_t* frac_begin = p;
    const uint8_t* frac_end = p;
    if (p < e && *p == '.') {
      ++p;
      frac_begin = p;
      if (p == e || !IsDigit(*p)) return false;
      while (p < e && IsDigit(*p)) ++p;
      frac_end = p;
      is_float = true;
    }
    const uint8_t* exp_begin = e;
    if (p < e && (*p == 'e' || *p == 'E')) {
      ++p;
      exp_begin = p;
      if (p < e && (*p == '+' || *p == '-')) ++p;
      if (p == e || !IsDigit(*p)) return false;
      while (p < e && IsDigit(*p)) ++p;
      is_float = true;
    }
    if (p != e) return false;

    if (!is_float) {
      uint64_t v = 0;
      bool overflow = false;
      for (const uint8_t* q = int_begin; q < int_end; ++q) {
        uint64_t d = *q - '0';
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) {
          overflow = true;
          break;
        }
        v = v * 10 + d;
      }
      if (!overflow) {
        if (!neg) {
          b_.Unsigned(v);
          return true;
        }
        if (v == 0) {
          b_.Float(-0.0);
          return true;
        }
        if (v <= (uint64_t{1} << 63)) {
          b_.Negative(static_cast<int64_t>(uint64_t{0} - v));
          return true;
        }
      }
      // Beyond both integer ranges: a float.
    }

    double d;
    auto r = std::from_chars(reinterpret_cast<const char*>(s),
                             reinterpret_cast<const char*>(e), d,
                             std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == reinterpret_cast<const char*>(e)) {
      b_.Float(d);
      return true;
    }
    if (r.ec != std::errc::result_out_of_range) return false;
    // Out of range: too large fails, too small is zero.
    if (ScientificExponent(int_begin, int_end, frac_begin, frac_end,
                           exp_begin, e) > 0) {
      return false;
    }
    b_.Float(neg ? -0.0 : 0.0);
    return true;
  }

  // The x with value = 0.ddd x 10^x (first digit non-zero), saturated; only
  // its sign matters to the caller.
  static int64_t ScientificExponent(const uint8_t* ib, const uint8_t* ie,
                                    const uint8_t* fb, const uint8_t* fe,
                                    const uint8_t* eb, const uint8_t* ee) {
    constexpr int64_t kCap = int64_t{1} << 40;
    int64_t exp = 0;
    if (eb != ee) {
      bool eneg = (*eb == '-');
      if (*eb == '-' || *eb == '+') ++eb;
      for (; eb < ee; ++eb) {
        if (exp < kCap) exp = exp * 10 + (*eb - '0');
      }
      if (eneg) exp = -exp;
    }
    int64_t lead = 0;  // position of the first non-zero digit
    const uint8_t* q = ib;
    while (q < ie && *q == '0') ++q;
    if (q < ie) return static_cast<int64_t>(ie - q) + exp;
    for (q = fb; q < fe && *q == '0'; ++q) ++lead;
    return -lead + exp;
  }

  ByteSource& src_;
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  Builder b_;
  std::string scratch_;
  std::vector<uint8_t> number_;
};

}  // namespace

bool ReadJson(ByteSource& src, Value* out) {
  Reader r(src);
  return r.ReadOne(out);
}

bool ReadJsonElements(ByteSource& src, Value* out,
                      std::vector<Value>* elements) {
  Reader r(src);
  return r.ReadElements(out, elements);
}

bool ParseJson(std::string_view text, Value* out) {
  MemorySource src(text.data(), text.size());
  return ReadJson(src, out);
}

}  // namespace moxal
