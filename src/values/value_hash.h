// A fast 64-bit hash of document values for in-memory lookup tables.
//
// Equal values (equality.h) always hash alike: strings by their bytes
// whatever their encoding, +0.0 and -0.0 alike, objects by their members in
// key order. Unequal values may collide (1 and 1.0 are unequal but hash
// alike, as the hash feed does not carry number kinds), so a table must
// compare the values themselves before it trusts a match. Not for anything
// an adversary could aim at: it is not keyed (the result cache uses
// SipHash for its keys).

#ifndef MOXAL_VALUES_VALUE_HASH_H_
#define MOXAL_VALUES_VALUE_HASH_H_

#include <cstddef>
#include <cstdint>

#include "values/value.h"

namespace moxal {

// The final mix of a 64-bit hash: every input bit reaches every output bit.
inline uint64_t MixBits(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return h;
}

// The hash of `n` bytes at `p`.
uint64_t HashBytes(const void* p, size_t n);

// The hash of a document value: any kind, nested values included.
uint64_t HashValue(ValueRef v);

}  // namespace moxal

#endif  // MOXAL_VALUES_VALUE_HASH_H_
