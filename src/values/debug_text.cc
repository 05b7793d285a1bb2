#include "values/debug_text.h"

#include <cstdint>
#include <cstdio>

#include "values/utf8.h"

namespace moxal {

namespace {

// Length of the valid UTF-8 sequence at p (0 when it is not one).
size_t SequenceLength(const uint8_t* p, size_t left) {
  size_t n = p[0] < 0x80 ? 1 : p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : 4;
  if (n > left || !IsValidUtf8(p, n)) return 0;
  return n;
}

uint32_t DecodeScalar(const uint8_t* p, size_t n) {
  if (n == 1) return p[0];
  uint32_t cp = p[0] & (0xFF >> (n + 1));
  for (size_t i = 1; i < n; ++i) cp = (cp << 6) | (p[i] & 0x3F);
  return cp;
}

}  // namespace

std::string DebugQuote(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t left = text.size();
  char buf[16];  // room for "\\u{10ffff}" and "\\xFF"
  while (left != 0) {
    size_t n = SequenceLength(p, left);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02X", p[0]);
      out += buf;
      ++p;
      --left;
      continue;
    }
    uint32_t cp = DecodeScalar(p, n);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
          out += buf;
        } else {
          out.append(reinterpret_cast<const char*>(p), n);
        }
    }
    p += n;
    left -= n;
  }
  out += '"';
  return out;
}

}  // namespace moxal
