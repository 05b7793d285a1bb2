// SipHash-1-3 (one compression round, three finalization rounds), 64-bit
// output, fed incrementally. The result cache keys queries with it.

#ifndef MOXAL_VALUES_SIPHASH_H_
#define MOXAL_VALUES_SIPHASH_H_

#include <cstddef>
#include <cstdint>

namespace moxal {

class SipHash13 {
 public:
  // The 128-bit key as two little-endian 64-bit halves.
  explicit SipHash13(uint64_t k0 = 0, uint64_t k1 = 0);

  void Update(const void* data, size_t n);
  void UpdateU32(uint32_t v);  // 4 bytes, little-endian
  void UpdateU64(uint64_t v);  // 8 bytes, little-endian
  void UpdateByte(uint8_t b) { Update(&b, 1); }

  // The hash of everything fed so far. Does not change the state.
  uint64_t Finish() const;

 private:
  void Block(uint64_t m);

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;    // pending bytes, little-endian
  size_t ntail_ = 0;     // number of pending bytes (0..7)
  uint64_t length_ = 0;  // total bytes fed
};

}  // namespace moxal

#endif  // MOXAL_VALUES_SIPHASH_H_
