#include "values/value_hash.h"

#include <cstring>

#include "values/hash_feed.h"

namespace moxal {

namespace {

constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;

// Folds 8 bytes into the running hash.
inline uint64_t Step(uint64_t h, uint64_t word) {
  h ^= word;
  h *= kMul;
  return h ^ (h >> 29);
}

// Takes the hash feed of a nested value (hash_feed.h).
class FeedHasher {
 public:
  void UpdateU32(uint32_t v) { h_ = Step(h_, v | (uint64_t{1} << 40)); }
  void UpdateU64(uint64_t v) { h_ = Step(Step(h_, v), 2); }
  void UpdateByte(uint8_t b) { h_ = Step(h_, b | (uint64_t{3} << 40)); }
  void Update(const void* p, size_t n) { h_ = Step(h_, HashBytes(p, n)); }
  uint64_t Finish() const { return MixBits(h_); }

 private:
  uint64_t h_ = 0;
};

}  // namespace

uint64_t HashBytes(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t h = n * kMul;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = Step(h, w);
    p += 8;
    n -= 8;
  }
  if (n != 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = Step(h, w ^ 0xFF);
  }
  return MixBits(h);
}

uint64_t HashValue(ValueRef v) {
  switch (v.kind()) {
    case Kind::kNull:
    case Kind::kBool:
      return MixBits(uint64_t{v.tag()} + 1);
    case Kind::kNumber:
      // The tag goes in too: an int and a float never compare equal.
      return MixBits(NumberHashBits(v) ^ (uint64_t{v.tag()} << 56) ^ kMul);
    case Kind::kString: {
      std::string_view s = v.as_string();
      return HashBytes(s.data(), s.size());
    }
    case Kind::kArray:
    case Kind::kObject:
      break;
  }
  FeedHasher h;
  FeedValue(v, h);
  return h.Finish();
}

}  // namespace moxal
