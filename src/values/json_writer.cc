#include "values/json_writer.h"

#include <charconv>

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

void WriteString(std::string_view s, OutBuffer& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.Put('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    while (end - p >= 8) {
      uint64_t stops =
          swar::StringStops(swar::Load(reinterpret_cast<const uint8_t*>(p)));
      if (stops != 0) {
        p += swar::FirstByte(stops);
        break;
      }
      p += 8;
    }
    if (p == end) break;
    char e = kEscapes.esc[static_cast<uint8_t>(*p)];
    if (e == 0) continue;
    out.Write(run, static_cast<size_t>(p - run));
    if (e == 'u') {
      uint8_t c = static_cast<uint8_t>(*p);
      char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.Write(u, 6);
    } else {
      char two[2] = {'\\', e};
      out.Write(two, 2);
    }
    run = p + 1;
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
