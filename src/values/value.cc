#include "values/value.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "values/blob_arena.h"

namespace moxal {

Value Value::Allocate(size_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  void* mem = std::malloc(offsetof(Blob, bytes) + (size ? size : 1));
  if (mem == nullptr) throw std::bad_alloc();
  Value v;
  v.b_ = static_cast<Blob*>(mem);
  v.b_->refs = 1;
  v.b_->size = static_cast<uint32_t>(size);
  return v;
}

Value Value::CopyOf(const uint8_t* data, size_t size) {
  Value v = Allocate(size);
  if (size != 0) std::memcpy(v.b_->bytes, data, size);
  return v;
}

void Value::Free(Blob* b) {
  if (b->refs == kCarved) {
    BlobArena::ReleaseCarved(b);
  } else {
    std::free(b);
  }
}

int64_t ObjectRef::FindIndex(std::string_view key) const {
  const uint8_t* tab = table();
  const uint8_t* base = body();
  int64_t lo = 0;
  int64_t hi = static_cast<int64_t>(count()) - 1;
  while (lo <= hi) {
    int64_t mid = lo + ((hi - lo) >> 1);
    std::string_view k;
    DecodeKey(base + LoadU32(tab + 4 * mid), &k);
    int c = CompareKeys(k, key);
    if (c == 0) return mid;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return -1;
}

}  // namespace moxal
