#include "values/json_writer.h"

#include <charconv>
#include <cstring>

#include "values/float_format.h"
#include "values/swar.h"

namespace moxal {

namespace {

// For each byte: 0 when it is written as it is, else the character that
// follows the backslash of its escape ('u' for \u00xx).
struct EscapeTable {
  char esc[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) esc[c] = 'u';
    esc['\b'] = 'b';
    esc['\f'] = 'f';
    esc['\n'] = 'n';
    esc['\r'] = 'r';
    esc['\t'] = 't';
    esc['"'] = '"';
    esc['\\'] = '\\';
  }
};
constexpr EscapeTable kEscapes;

// Writes the escape of byte `c` at `p`; returns the bytes written.
size_t WriteEscape(uint8_t c, char e, char* p) {
  static constexpr char kHex[] = "0123456789abcdef";
  p[0] = '\\';
  if (e != 'u') {
    p[1] = e;
    return 2;
  }
  p[1] = 'u';
  p[2] = '0';
  p[3] = '0';
  p[4] = kHex[c >> 4];
  p[5] = kHex[c & 15];
  return 6;
}

// A string is written straight into the buffer, eight bytes at a time,
// when it fits even if every byte needed a six-byte escape: always for
// short strings (which may empty the buffer a little early), else only
// when there is room already.
constexpr size_t kShortString = 64;

void WriteString(std::string_view s, OutBuffer& out) {
  const auto* src = reinterpret_cast<const uint8_t*>(s.data());
  const uint8_t* end = src + s.size();
  if (s.size() <= kShortString || s.size() * 6 + 2 <= out.available()) {
    char* start = out.Reserve(s.size() * 6 + 2);
    char* p = start;
    *p++ = '"';
    while (src < end) {
      if (end - src >= 8) {
        uint64_t w = swar::Load(src);
        uint64_t stops = swar::StringStops(w);
        std::memcpy(p, &w, 8);  // room was reserved; only the plain part counts
        if (stops == 0) {
          p += 8;
          src += 8;
          continue;
        }
        unsigned plain = swar::FirstByte(stops);
        p += plain;
        src += plain;
      }
      uint8_t c = *src++;
      char e = kEscapes.esc[c];
      if (e == 0) {
        *p++ = static_cast<char>(c);
      } else {
        p += WriteEscape(c, e, p);
      }
    }
    *p++ = '"';
    out.Commit(static_cast<size_t>(p - start));
    return;
  }
  // A long string goes through the buffer in runs between escapes.
  out.Put('"');
  const uint8_t* run = src;
  for (; src < end; ++src) {
    while (end - src >= 8) {
      uint64_t stops = swar::StringStops(swar::Load(src));
      if (stops != 0) {
        src += swar::FirstByte(stops);
        break;
      }
      src += 8;
    }
    if (src == end) break;
    char e = kEscapes.esc[*src];
    if (e == 0) continue;
    out.Write(run, static_cast<size_t>(src - run));
    char esc[6];
    out.Write(esc, WriteEscape(*src, e, esc));
    run = src + 1;
  }
  out.Write(run, static_cast<size_t>(end - run));
  out.Put('"');
}

void WriteNumber(ValueRef v, OutBuffer& out) {
  char* p = out.Reserve(kMaxFloatText);
  size_t n;
  switch (v.tag()) {
    case tag::kUnsigned:
      n = static_cast<size_t>(std::to_chars(p, p + kMaxFloatText, v.as_unsigned()).ptr - p);
      break;
    case tag::kNegative:
      n = static_cast<size_t>(std::to_chars(p, p + kMaxFloatText, v.as_negative()).ptr - p);
      break;
    default:
      n = FormatDouble(v.as_float(), p);
      break;
  }
  out.Commit(n);
}

void WriteNode(ValueRef v, OutBuffer& out) {
  switch (v.tag()) {
    case tag::kNull:
      out.Write("null", 4);
      return;
    case tag::kFalse:
      out.Write("false", 5);
      return;
    case tag::kTrue:
      out.Write("true", 4);
      return;
    case tag::kUnsigned:
    case tag::kNegative:
    case tag::kFloat:
      WriteNumber(v, out);
      return;
    case tag::kStr8:
    case tag::kStr32:
      WriteString(v.as_string(), out);
      return;
    case tag::kArray: {
      out.Put('[');
      bool first = true;
      for (ValueRef e : v.as_array()) {
        if (!first) out.Put(',');
        first = false;
        WriteNode(e, out);
        if (!out.ok()) return;
      }
      out.Put(']');
      return;
    }
    case tag::kObject: {
      out.Put('{');
      bool first = true;
      for (Member m : v.as_object()) {
        if (!first) out.Put(',');
        first = false;
        WriteString(m.key, out);
        out.Put(':');
        WriteNode(m.value, out);
        if (!out.ok()) return;
      }
      out.Put('}');
      return;
    }
  }
}

}  // namespace

bool WriteJson(ValueRef v, OutBuffer& out) {
  WriteNode(v, out);
  return out.ok();
}

std::string ToJson(ValueRef v) {
  std::string text;
  StringSink sink(&text);
  OutBuffer out(&sink);
  WriteJson(v, out);
  out.Flush();
  return text;
}

}  // namespace moxal
