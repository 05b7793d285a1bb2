#include "values/shape_cache.h"

#include "values/value.h"

namespace moxal {

uint32_t ShapeCache::SlotFor(std::string_view key, size_t depth) {
  // The length, the first, middle and last bytes and the depth tell apart
  // the first keys of the objects of a typical document well enough; a
  // collision only costs relearning.
  uint32_t h = static_cast<uint32_t>(depth) * 0x9E3779B1u;
  h ^= static_cast<uint32_t>(key.size()) * 0x85EBCA77u;
  if (!key.empty()) {
    h += static_cast<uint8_t>(key.front()) * 0xC2B2AE3Du;
    h += static_cast<uint8_t>(key[key.size() / 2]) * 0x27D4EB2Fu;
    h += static_cast<uint8_t>(key.back()) * 0x165667B1u;
  }
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  return (h >> 24) % kSlots;
}

const uint8_t* ShapeCache::Follow(uint32_t slot, std::string_view key) const {
  const std::string& r = slots_[slot].records;
  if (r.empty()) return nullptr;
  const uint8_t* first = reinterpret_cast<const uint8_t*>(r.data());
  if (!SameBytes(KeyOf(first), key)) return nullptr;
  return After(first);
}

bool ShapeCache::Learnable(const std::string_view* keys, size_t n) {
  if (n == 0 || n > kMaxKeys) return false;
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (keys[i].size() >= kEnd) return false;
    bytes += keys[i].size();
    for (char c : keys[i]) {
      auto b = static_cast<uint8_t>(c);
      if (b < 0x20 || b == '"' || b == '\\') return false;
    }
  }
  return bytes <= kMaxKeyBytes;
}

void ShapeCache::Learn(uint32_t slot, const std::string_view* keys, size_t n,
                       const uint32_t* order) {
  Shape& s = slots_[slot];
  s.records.clear();
  s.order.clear();
  if (!Learnable(keys, n)) return;
  for (size_t i = 0; i < n; ++i) {
    s.records.push_back(static_cast<char>(keys[i].size()));
    s.records.append(keys[i]);
    s.records.push_back('"');
    s.records.push_back(i > 0 && CompareKeys(keys[i - 1], keys[i]) >= 0 ? 1 : 0);
  }
  s.records.push_back(static_cast<char>(kEnd));
  s.records.append(kPadding, '\0');
  for (size_t i = 0; i < n; ++i) s.order.push_back(order ? order[i] : static_cast<uint32_t>(i));
}

}  // namespace moxal
