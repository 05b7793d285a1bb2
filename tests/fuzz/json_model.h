// A reference JSON writer for the tests: the text rules written out as
// plainly as possible, byte by byte, with the float digits from
// std::to_chars, so the fast writer can be compared with it on any value.

#ifndef MOXAL_TESTS_FUZZ_JSON_MODEL_H_
#define MOXAL_TESTS_FUZZ_JSON_MODEL_H_

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "values/value.h"

namespace moxal::fuzz {

// The float text form: shortest round-trip digits, laid out by the
// magnitude's decimal exponent.
inline std::string ModelDouble(double v) {
  if (!std::isfinite(v)) return "null";
  std::string sign = std::signbit(v) ? "-" : "";
  v = std::fabs(v);
  if (v == 0) return sign + "0.0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, r.ptr);
  size_t epos = sci.find('e');
  std::string digits;
  for (size_t i = 0; i < epos; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int e = std::stoi(sci.substr(epos + 1)) + 1;  // v = 0.digits x 10^e
  int n = static_cast<int>(digits.size());
  if (n <= e && e <= 16) return sign + digits + std::string(e - n, '0') + ".0";
  if (1 <= e && e <= 16) return sign + digits.substr(0, e) + "." + digits.substr(e);
  if (-4 <= e && e <= 0) return sign + "0." + std::string(-e, '0') + digits;
  std::string out = sign;
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits, 1);
  }
  return out + "e" + std::to_string(e - 1);
}

inline void ModelString(std::string_view s, std::string* out) {
  *out += '"';
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          *out += esc;
        } else {
          *out += ch;
        }
    }
  }
  *out += '"';
}

inline void ModelValue(ValueRef v, std::string* out) {
  switch (v.tag()) {
    case tag::kNull:
      *out += "null";
      return;
    case tag::kFalse:
      *out += "false";
      return;
    case tag::kTrue:
      *out += "true";
      return;
    case tag::kUnsigned:
      *out += std::to_string(v.as_unsigned());
      return;
    case tag::kNegative:
      *out += std::to_string(v.as_negative());
      return;
    case tag::kFloat:
      *out += ModelDouble(v.as_float());
      return;
    case tag::kStr8:
    case tag::kStr32:
      ModelString(v.as_string(), out);
      return;
    case tag::kArray: {
      *out += '[';
      const char* sep = "";
      for (ValueRef e : v.as_array()) {
        *out += sep;
        sep = ",";
        ModelValue(e, out);
      }
      *out += ']';
      return;
    }
    case tag::kObject: {
      *out += '{';
      const char* sep = "";
      for (Member m : v.as_object()) {
        *out += sep;
        sep = ",";
        ModelString(m.key, out);
        *out += ':';
        ModelValue(m.value, out);
      }
      *out += '}';
      return;
    }
  }
}

// The text the writer must produce for `v`.
inline std::string ModelJson(ValueRef v) {
  std::string out;
  ModelValue(v, &out);
  return out;
}

}  // namespace moxal::fuzz

#endif  // MOXAL_TESTS_FUZZ_JSON_MODEL_H_
