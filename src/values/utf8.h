// UTF-8 validation and encoding.

#ifndef MOXAL_VALUES_UTF8_H_
#define MOXAL_VALUES_UTF8_H_

#include <cstddef>
#include <cstdint>

namespace moxal {

// True when the `n` bytes at `p` are well-formed UTF-8: no overlong forms,
// no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no truncated
// sequence.
bool IsValidUtf8(const uint8_t* p, size_t n);

// Writes the UTF-8 form of the scalar value `cp` (not a surrogate, at most
// U+10FFFF) to `out` (room for 4 bytes); returns the number of bytes.
size_t EncodeUtf8(uint32_t cp, uint8_t* out);

}  // namespace moxal

#endif  // MOXAL_VALUES_UTF8_H_
