// CRC-32C (Castagnoli), the checksum of the journal's header and records:
// it catches every burst of errors up to 32 bits and all but 2^-32 of the
// rest, and the processor computes it (SSE 4.2) at several gigabytes a
// second, so checking a journal costs little next to reading it.

#ifndef MOXAL_STORAGE_CRC32C_H_
#define MOXAL_STORAGE_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace moxal {

// The CRC-32C of the bytes `data` continued from `crc`, the CRC of the
// bytes before them (0 for none): Crc32c(Crc32c(0, a), b) == Crc32c(0, ab).
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

}  // namespace moxal

#endif  // MOXAL_STORAGE_CRC32C_H_
