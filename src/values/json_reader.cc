#include "values/json_reader.h"

#include <bit>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "values/builder.h"
#include "values/number_text.h"
#include "values/string_scan.h"
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

// The value of each hexadecimal digit, -1 for every other byte.
struct HexDigits {
  int8_t value[256] = {};
  constexpr HexDigits() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
  }
};
constexpr HexDigits kHex;

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
    if (Peek() != '[') return ReadOne(out);
    ++p_;
    return ParseItems(']', [&](int c) { return ReadElement(c, elements); }) && AtEnd();
  }

  // "[", then elements each followed by ",", then the end of the input.
  bool ReadHead(std::vector<Value>* elements) {
    if (Peek() != '[') return false;
    ++p_;
    for (bool first = true;; first = false) {
      int c = Peek();
      if (c == -1) return !first && !src_.failed();
      if (!ReadElement(c, elements) || Peek() != ',') return false;
      ++p_;
    }
  }

  // Elements separated by ",", then "]", then the end of the input.
  bool ReadTail(std::vector<Value>* elements) {
    int c = Peek();
    if (c == ']' || c == -1) return false;
    return ParseItems(']', [&](int e) { return ReadElement(e, elements); }) && AtEnd();
  }

 private:
  // One element of a collection's array, as a value of its own.
  bool ReadElement(int c, std::vector<Value>* elements) {
    if (!ParseValue(c, 1) || !b_.ok()) return false;
    elements->push_back(b_.Finish(arena_));
    return true;
  }

  // Moves to the next non-empty chunk; false at the end of the input.
  bool Fill() {
    const uint8_t* data;
    size_t size;
    before_chunk_ += static_cast<uint64_t>(end_ - chunk_);
    while (src_.Next(&data, &size)) {
      if (size != 0) {
        chunk_ = p_ = data;
        end_ = data + size;
        return true;
      }
    }
    chunk_ = p_ = end_ = nullptr;
    return false;
  }

  // The next byte after whitespace, not consumed, or -1 at the end.
  int Peek() {
    // Whitespace bytes are all at or below ' ', so anything above it is
    // the answer at once; compact text never gets further.
    if (p_ < end_ && *p_ > ' ') return *p_;
    return PeekSlow();
  }

  int PeekSlow() {
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

 public:
  // Where reading stopped: the bytes of the chunks before the current one,
  // and how far into it reading got; kNoOffset when the source failed.
  uint64_t StoppedAt() const {
    if (src_.failed()) return kNoOffset;
    return before_chunk_ + static_cast<uint64_t>(p_ - chunk_);
  }

 private:
  // Parses the value starting with byte `c` (not yet consumed) inside
  // `depth` open containers. Only containers recurse, through
  // ParseContainer, so a scalar inside a container costs no call.
  [[gnu::always_inline]] bool ParseValue(int c, int depth) {
    switch (c) {
      case '{':
      case '[':
        return ParseContainer(c, depth);
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

  [[gnu::noinline]] bool ParseContainer(int c, int depth) {
    return c == '{' ? ParseObject(depth + 1) : ParseArray(depth + 1);
  }

  // Parses what follows the opening byte of an array or object: items
  // separated by ",", then the byte `close`, consumed. `item(c)` parses one
  // item, which starts with the byte c (not yet consumed).
  template <class Item>
  bool ParseItems(int close, Item item) {
    int c = Peek();
    if (c != close) {
      for (;;) {
        if (!item(c)) return false;
        c = Peek();
        if (c == close) break;
        if (c != ',') return false;
        ++p_;
        c = Peek();
      }
    }
    ++p_;
    return true;
  }

  bool ParseArray(int depth) {
    if (depth > kMaxNesting) return false;
    ++p_;
    b_.BeginArray();
    if (!ParseItems(']', [&](int c) { return ParseValue(c, depth); })) return false;
    b_.EndArray();
    return true;
  }

  bool ParseObject(int depth) {
    if (depth > kMaxNesting) return false;
    ++p_;
    b_.BeginObject();
    auto member = [&](int c) {
      if (c != '"') return false;
      ++p_;
      if (!ParseKey() || Peek() != ':') return false;
      ++p_;
      return ParseValue(Peek(), depth);
    };
    if (!ParseItems('}', member)) return false;
    b_.EndObject();
    return true;
  }

  // Called just past a key's opening quote. A key that is byte for byte
  // the one the builder expects (its shape cache holds only keys without
  // escapes, quotes or control bytes, and valid UTF-8) needs no scanning.
  bool ParseKey() {
    if (const uint8_t* k = b_.ExpectedKey(); k != nullptr) {
      unsigned n = k[0] + 1u;  // the key and its closing quote
      bool same = n <= scan::kBlock && end_ - p_ >= scan::kBlock
                      ? scan::SamePrefix(p_, k + 1, n)
                      : static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, k + 1, n) == 0;
      if (same) {
        p_ += n;
        b_.ExpectedKeyFound();
        return true;
      }
    }
    return ParseString(true);
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
    // Strings without escapes whose closing quote is in this chunk are the
    // rule: scan them in whole blocks and copy them in whole blocks.
    uint32_t highs = 0;
    const uint8_t* q = ScanBlocks(p_, &highs);
    if (q == nullptr || *q != '"') return ParseLongString(key);
    size_t n = static_cast<size_t>(q - p_);
    if (highs != 0 && !IsValidUtf8(p_, n)) return false;
    if (key) {
      b_.Key(std::string_view(reinterpret_cast<const char*>(p_), n));
    } else {
      b_.BlockString(p_, n);
    }
    p_ = q + 1;
    return true;
  }

  // ParseString for strings with escapes or that go on past the chunk:
  // they are collected in the scratch buffer.
  bool ParseLongString(bool key) {
    const uint8_t* start = p_;
    // Only raw bytes need validating: an escape always stands for a
    // whole, valid character.
    bool high = SkipPlain();
    if (p_ < end_ && *p_ == '"') {  // no escape after all, and all in this chunk
      size_t n = static_cast<size_t>(p_ - start);
      if (high && !IsValidUtf8(start, n)) return false;
      Emit(std::string_view(reinterpret_cast<const char*>(start), n), key);
      ++p_;
      return true;
    }
    scratch_.assign(reinterpret_cast<const char*>(start), static_cast<size_t>(p_ - start));
    for (;;) {
      const uint8_t* run = p_;
      high |= SkipPlain();
      scratch_.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p_ - run));
      if (p_ == end_) {
        if (!Fill()) return false;
        continue;
      }
      uint8_t c = *p_++;
      if (c == '"') break;
      if (c != '\\' || !ParseEscape()) return false;  // a raw control byte, a bad escape
    }
    if (high && !IsValidUtf8(reinterpret_cast<const uint8_t*>(scratch_.data()), scratch_.size())) {
      return false;
    }
    Emit(scratch_, key);
    return true;
  }

  // Moves past the string bytes up to the next '"', '\\' or control byte,
  // or to the end of the chunk. True when one of them was 0x80 or above.
  bool SkipPlain() {
    uint32_t highs = 0;
    if (const uint8_t* stop = ScanBlocks(p_, &highs); stop != nullptr) {
      p_ = stop;
      return highs != 0;
    }
    p_ += static_cast<size_t>(end_ - p_) & ~size_t{scan::kBlock - 1};
    while (p_ < end_) {
      uint8_t k = kStr.cls[*p_];
      if (k > 1) break;
      highs |= k;
      ++p_;
    }
    return highs != 0;
  }

  // The first '"', '\\' or control byte in the whole blocks of the chunk
  // from `q` on, or null when there is none in them (the fewer than a
  // block's bytes after them are not looked at). The high bits of the bytes
  // before it are or-ed into *highs. Both scans of string text go through
  // here. It is inlined into each: reading a collection file of short
  // strings takes about 0.3% more instructions than with a loop of each
  // scan's own (a register move per string), too little to show in time.
  [[gnu::always_inline]] const uint8_t* ScanBlocks(const uint8_t* q, uint32_t* highs) const {
    uint32_t h = *highs;
    while (end_ - q >= scan::kBlock) {
      scan::BlockMasks m = scan::ScanBlock(q);
      if (m.stops == 0) {
        h |= m.highs;
        q += scan::kBlock;
        continue;
      }
      unsigned i = static_cast<unsigned>(std::countr_zero(m.stops));
      *highs = h | (m.highs & ((uint32_t{1} << i) - 1));
      return q + i;
    }
    *highs = h;
    return nullptr;
  }

  // Called just past a backslash: appends what the escape stands for.
  bool ParseEscape() {
    char simple;
    switch (Get()) {
      case '"':
        simple = '"';
        break;
      case '\\':
        simple = '\\';
        break;
      case '/':
        simple = '/';
        break;
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      case 'u': {
        uint32_t cp;
        if (!ParseUnicodeEscape(&cp)) return false;
        uint8_t utf8[4];
        scratch_.append(reinterpret_cast<const char*>(utf8), EncodeUtf8(cp, utf8));
        return true;
      }
      default:
        return false;
    }
    scratch_.push_back(simple);
    return true;
  }

  bool ParseHex4(uint32_t* out) {
    if (end_ - p_ >= 4) {  // all four in this chunk
      int a = kHex.value[p_[0]], b = kHex.value[p_[1]];
      int c = kHex.value[p_[2]], d = kHex.value[p_[3]];
      if ((a | b | c | d) < 0) return false;
      p_ += 4;
      *out = static_cast<uint32_t>((a << 12) | (b << 8) | (c << 4) | d);
      return true;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int c = Get();
      int h = c < 0 ? -1 : kHex.value[c];
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

  // Called at the first byte of a number.
  bool ParseNumber() {
    assert(p_ < end_);
    // Integers, and decimals without an exponent, of up to kSafeDigits
    // digits whose end is in this chunk need none of the general path.
    const uint8_t* p = p_;
    bool negative = (*p == '-');
    p += negative;
    const uint8_t* digits = p;
    uint64_t v = 0;
    p = AccumulateDigits(p, end_, &v);
    size_t n = static_cast<size_t>(p - digits);
    if (p == end_ || n == 0 || n > kSafeDigits || (n > 1 && *digits == '0')) {
      return ParseAnyNumber();
    }
    if (!kNum.in[*p]) {
      if (!negative) {
        b_.Unsigned(v);
      } else if (v == 0 || v > (uint64_t{1} << 63)) {
        return ParseAnyNumber();
      } else {
        b_.Negative(static_cast<int64_t>(uint64_t{0} - v));
      }
      p_ = p;
      return true;
    }
    if (*p != '.') return ParseAnyNumber();
    const uint8_t* fraction = ++p;
    p = AccumulateDigits(p, end_, &v);
    size_t f = static_cast<size_t>(p - fraction);
    double d;
    if (p == end_ || f == 0 || n + f > kSafeDigits || kNum.in[*p] || !NearestQuotient(v, f, &d)) {
      return ParseAnyNumber();
    }
    b_.Float(negative ? -d : d);
    p_ = p;
    return true;
  }

  // Any number token, also one that goes on in the next chunk.
  bool ParseAnyNumber() {
    const uint8_t* start = p_;
    while (p_ < end_ && kNum.in[*p_]) ++p_;
    const uint8_t* end = p_;
    if (p_ == end_) {
      // The token may go on in the next chunk: gather it across chunks.
      number_.assign(start, p_);
      while (Fill()) {
        while (p_ < end_ && kNum.in[*p_]) number_.push_back(*p_++);
        if (p_ < end_) break;
      }
      start = number_.data();
      end = start + number_.size();
    }
    return ConvertNumber(start, end);
  }

  // Emits the number token [s, e), or returns false when it is not one or
  // its value is too large for a double.
  bool ConvertNumber(const uint8_t* s, const uint8_t* e) {
    NumberParts n;
    if (!SplitNumber(s, e, &n)) return false;
    if (!n.is_float && EmitInteger(n)) return true;
    return EmitFloat(s, e, n);
  }

  // Emits an integer token as an integer of its kind ("-0" as the float
  // -0.0). Returns false, emitting nothing, when it is beyond both ranges.
  bool EmitInteger(const NumberParts& n) {
    uint64_t v;
    if (!DecimalValue(n.int_begin, n.int_end, &v)) return false;
    if (!n.negative) {
      b_.Unsigned(v);
    } else if (v == 0) {
      b_.Float(-0.0);
    } else if (v <= (uint64_t{1} << 63)) {
      b_.Negative(static_cast<int64_t>(uint64_t{0} - v));
    } else {
      return false;
    }
    return true;
  }

  // Emits the token [s, e) as the nearest float. Returns false when that is
  // infinite; a value below the smallest subnormal is zero of its sign.
  bool EmitFloat(const uint8_t* s, const uint8_t* e, const NumberParts& n) {
    double d;
    auto r = std::from_chars(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(e), d,
                             std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == reinterpret_cast<const char*>(e)) {
      b_.Float(d);
      return true;
    }
    if (r.ec != std::errc::result_out_of_range || ScientificExponent(n) > 0) return false;
    b_.Float(n.negative ? -0.0 : 0.0);
    return true;
  }

  ByteSource& src_;
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  const uint8_t* chunk_ = nullptr;  // where the current chunk begins
  uint64_t before_chunk_ = 0;       // bytes of the chunks before it
  Builder b_;
  BlobArena arena_;  // for the elements of a collection
  std::string scratch_;
  std::vector<uint8_t> number_;
};

}  // namespace

bool ReadJson(ByteSource& src, Value* out, uint64_t* stopped_at) {
  Reader r(src);
  if (r.ReadOne(out)) return true;
  if (stopped_at != nullptr) *stopped_at = r.StoppedAt();
  return false;
}

bool ReadJsonElements(ByteSource& src, Value* out, std::vector<Value>* elements,
                      uint64_t* stopped_at) {
  Reader r(src);
  if (r.ReadElements(out, elements)) return true;
  if (stopped_at != nullptr) *stopped_at = r.StoppedAt();
  return false;
}

bool ReadJsonArrayHead(ByteSource& src, std::vector<Value>* elements) {
  Reader r(src);
  return r.ReadHead(elements);
}

bool ReadJsonArrayTail(ByteSource& src, std::vector<Value>* elements) {
  Reader r(src);
  return r.ReadTail(elements);
}

}  // namespace moxal
