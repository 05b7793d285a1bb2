#include "values/blob_arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace moxal {

BlobArena::~BlobArena() {
  if (block_ != nullptr) Drop(block_);
}

void BlobArena::Drop(Block* block) {
  if (--block->live == 0) std::free(block);
}

void BlobArena::ReleaseCarved(Value::Blob* b) {
  Block* block;
  std::memcpy(&block, reinterpret_cast<uint8_t*>(b) - 8, sizeof block);
  Drop(block);
}

Value BlobArena::CopyOf(const uint8_t* data, size_t size) {
  static_assert(sizeof(Block*) <= 8 && alignof(Value::Blob) <= 8 && sizeof(Block) <= kHeader);
  if (handed_out_ < kCarveAfter || size > kMaxCarved) {
    handed_out_ += size;
    return Value::CopyOf(data, size);
  }
  // The pointer to the block, the blob's header and bytes, rounded up to 8.
  size_t need = (8 + offsetof(Value::Blob, bytes) + size + 7) & ~size_t{7};
  if (block_ == nullptr || kBlockBytes - used_ < need) {
    void* mem = std::malloc(kBlockBytes);
    if (mem == nullptr) throw std::bad_alloc();
    if (block_ != nullptr) Drop(block_);
    block_ = static_cast<Block*>(mem);
    block_->live = 1;
    used_ = kHeader;
  }
  uint8_t* at = reinterpret_cast<uint8_t*>(block_) + used_;
  std::memcpy(at, &block_, sizeof block_);
  auto* b = reinterpret_cast<Value::Blob*>(at + 8);
  b->refs = Value::kCarved | 1;
  b->size = static_cast<uint32_t>(size);
  std::memcpy(b->bytes, data, size);
  ++block_->live;
  used_ += need;
  return Value(b);
}

}  // namespace moxal
