#include "query/page.h"

namespace moxal {

namespace {

void AppendU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

std::string Page::Identity() const {
  std::string out;
  if (whole()) return out;
  AppendU64(&out, skip);
  AppendU64(&out, limit);
  for (const SortKey& key : sort) {
    out.push_back(key.descending ? '-' : '+');
    AppendU64(&out, key.fields.size());
    for (const std::string& name : key.fields) {
      AppendU64(&out, name.size());
      out += name;
    }
  }
  return out;
}

}  // namespace moxal
