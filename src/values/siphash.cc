#include "values/siphash.h"

#include <bit>
#include <cstring>

namespace moxal {

namespace {

struct State {
  uint64_t v0, v1, v2, v3;
  void Round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace

SipHash13::SipHash13(uint64_t k0, uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHash13::Block(uint64_t m) {
  State s{v0_, v1_, v2_, v3_ ^ m};
  s.Round();
  v0_ = s.v0 ^ m;
  v1_ = s.v1;
  v2_ = s.v2;
  v3_ = s.v3;
}

void SipHash13::Update(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  length_ += n;
  while (ntail_ != 0 && n != 0) {
    tail_ |= uint64_t{*p++} << (8 * ntail_);
    --n;
    if (++ntail_ == 8) {
      Block(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  while (n >= 8) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    Block(m);
    p += 8;
    n -= 8;
  }
  while (n != 0) {
    tail_ |= uint64_t{*p++} << (8 * ntail_++);
    --n;
  }
}

void SipHash13::UpdateU32(uint32_t v) {
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  Update(b, 4);
}

void SipHash13::UpdateU64(uint64_t v) {
  uint8_t b[8];
  std::memcpy(b, &v, 8);
  Update(b, 8);
}

uint64_t SipHash13::Finish() const {
  uint64_t b = (length_ << 56) | tail_;
  State s{v0_, v1_, v2_, v3_ ^ b};
  s.Round();
  s.v0 ^= b;
  s.v2 ^= 0xff;
  s.Round();
  s.Round();
  s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace moxal
