#include "values/json_writer.h"

#include <cstring>

#include "values/digits.h"
#include "values/float_format.h"
#include "values/json_escape.h"

namespace moxal {

namespace {

// The writer keeps its output position in a local pointer that each
// function takes and returns, so it stays in a register instead of being
// stored and reloaded around every byte (a char store may alias anything).
// Each value makes room once for the longest text it can have, plus one
// byte for the ',', ':', ']' or '}' its container writes after it, so
// separators need no check of their own.
class Writer {
 public:
  explicit Writer(OutBuffer& out) : out_(out), limit_(out.limit()) {}

  char* Value(ValueRef v, char* p);

 private:
  // `p`, or the start of the emptied buffer, with `n` bytes of room.
  char* Room(char* p, size_t n) {
    return static_cast<size_t>(limit_ - p) >= n ? p : out_.Room(p, n);
  }
  char* String(std::string_view s, char* p);
  char* EscapedString(std::string_view s, char* p);
  char* LongString(std::string_view s, char* p);
  char* Array(ArrayRef a, char* p);
  char* Object(ObjectRef o, char* p);

  // Room for literals and numbers.
  static constexpr size_t kMaxScalar =
      kMaxFloatText > kIntegerTextRoom ? kMaxFloatText : kIntegerTextRoom;
  // Most keys and many values are this short: they are copied in whole
  // blocks, then checked for escapes once.
  static constexpr size_t kShortString = kMaxPlainShort;

  OutBuffer& out_;
  char* const limit_;
};

inline char* Writer::String(std::string_view s, char* p) {
  const auto* src = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  if (n <= kShortString) {
    p = Room(p, kShortString + 3);
    if (CopyPlainShort(src, n, p + 1)) {
      p[0] = '"';
      p[n + 1] = '"';
      return p + n + 2;
    }
  }
  return EscapedString(s, p);
}

// Strings that need escapes or are longer than kShortString. They are
// escaped straight into the buffer when their worst case fits in what is
// left of it, else they go through in runs between escapes, so the buffer
// is only emptied when it is full.
[[gnu::noinline]] char* Writer::EscapedString(std::string_view s, char* p) {
  if (s.size() * kMaxEscapeGrowth + 3 > static_cast<size_t>(limit_ - p)) {
    return LongString(s, p);
  }
  *p++ = '"';
  p = EscapeInto(reinterpret_cast<const uint8_t*>(s.data()), s.size(), p);
  *p++ = '"';
  return p;
}

char* Writer::LongString(std::string_view s, char* p) {
  const auto* src = reinterpret_cast<const uint8_t*>(s.data());
  const uint8_t* end = src + s.size();
  p = Room(p, 1);
  *p++ = '"';
  out_.set_cursor(p);
  while (src < end) {
    const uint8_t* stop = src + PlainPrefix(src, static_cast<size_t>(end - src));
    out_.Write(src, static_cast<size_t>(stop - src));
    if (stop == end) break;
    char esc[kMaxEscapeGrowth];
    out_.Write(esc, static_cast<size_t>(WriteEscape(*stop, esc) - esc));
    src = stop + 1;
  }
  p = Room(out_.cursor(), 2);
  *p++ = '"';
  return p;
}

char* Writer::Array(ArrayRef a, char* p) {
  p = Room(p, 3);
  *p++ = '[';
  if (a.count() == 0) {
    *p++ = ']';
    return p;
  }
  for (ValueRef e : a) {
    p = Value(e, p);
    *p++ = ',';
    if (!out_.ok()) return p;
  }
  p[-1] = ']';  // in place of the last ','
  return Room(p, 1);
}

char* Writer::Object(ObjectRef o, char* p) {
  p = Room(p, 3);
  *p++ = '{';
  if (o.count() == 0) {
    *p++ = '}';
    return p;
  }
  for (Member m : o) {
    p = String(m.key, p);
    *p++ = ':';
    p = Value(m.value, p);
    *p++ = ',';
    if (!out_.ok()) return p;
  }
  p[-1] = '}';
  return Room(p, 1);
}

char* Writer::Value(ValueRef v, char* p) {
  switch (v.tag()) {
    case tag::kNull:
      p = Room(p, 5);
      std::memcpy(p, "null", 4);
      return p + 4;
    case tag::kFalse:
      p = Room(p, 6);
      std::memcpy(p, "false", 5);
      return p + 5;
    case tag::kTrue:
      p = Room(p, 5);
      std::memcpy(p, "true", 4);
      return p + 4;
    case tag::kUnsigned:
      return FormatUnsigned(v.as_unsigned(), Room(p, kMaxScalar + 1));
    case tag::kNegative:
      return FormatNegative(v.as_negative(), Room(p, kMaxScalar + 1));
    case tag::kFloat:
      p = Room(p, kMaxScalar + 1);
      return p + FormatDouble(v.as_float(), p);
    case tag::kStr8:
    case tag::kStr32:
      return String(v.as_string(), p);
    case tag::kArray:
      return Array(v.as_array(), p);
    case tag::kObject:
      return Object(v.as_object(), p);
  }
  NoSuchTag();
}

}  // namespace

bool WriteJson(ValueRef v, OutBuffer& out) {
  Writer w(out);
  out.set_cursor(w.Value(v, out.cursor()));
  return out.ok();
}

}  // namespace moxal
