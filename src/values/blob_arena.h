// Blobs for the many values of one read, carved out of large blocks.
//
// Reading a collection file makes one blob per document. Allocating each on
// its own costs the allocator's work twice per document, when it is made and
// when it is freed, which is a good part of the time to read the file; so
// past the first kCarveAfter bytes, a BlobArena carves the blobs out of
// blocks of kBlockBytes instead. A carved blob is a Value like any other: it
// is shared by reference count and may be written in place when unique. Its
// block counts the blobs in it that are still alive and is freed with the
// last of them.
//
// So a block stays while any one of its documents does: a collection whose
// documents were mostly replaced keeps its old blocks until the last
// original document in each goes. That is bounded by the memory the
// collection took when it was read.

#ifndef MOXAL_VALUES_BLOB_ARENA_H_
#define MOXAL_VALUES_BLOB_ARENA_H_

#include <cstddef>
#include <cstdint>

#include "values/value.h"

namespace moxal {

class BlobArena {
 public:
  // Bytes handed out as blobs of their own before carving starts: reads of
  // small collections and single documents take no block at all.
  static constexpr size_t kCarveAfter = 256 * 1024;
  // Size of a block: the allocator sees one block per several hundred
  // documents, and the unused end of the last block is small beside the
  // kCarveAfter bytes read before it (and not even touched).
  static constexpr size_t kBlockBytes = 256 * 1024;
  // A blob larger than this gets an allocation of its own, so that a block
  // is never left mostly empty.
  static constexpr size_t kMaxCarved = kBlockBytes / 16;

  BlobArena() = default;
  BlobArena(const BlobArena&) = delete;
  BlobArena& operator=(const BlobArena&) = delete;
  ~BlobArena();

  // A new blob holding a copy of `size` encoded bytes, as Value::CopyOf.
  Value CopyOf(const uint8_t* data, size_t size);

  // Frees the carved blob `b`, whose count has dropped to zero.
  static void ReleaseCarved(Value::Blob* b);

 private:
  // A block: this header, then carved blobs, each after a pointer to the
  // block and at a multiple of 8 bytes.
  struct Block {
    size_t live;  // blobs not yet released, plus one while it is current
  };
  static constexpr size_t kHeader = 8;  // sizeof(Block), rounded up to 8
  static void Drop(Block* block);

  Block* block_ = nullptr;  // the block blobs are carved from now
  size_t used_ = 0;         // bytes of it in use
  size_t handed_out_ = 0;   // bytes handed out in blobs of their own
};

}  // namespace moxal

#endif  // MOXAL_VALUES_BLOB_ARENA_H_
