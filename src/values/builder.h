// Builds one encoded document value (value.h) from a stream of events.
//
// The JSON reader and the conversion from Python both drive a Builder. It
// writes into one growing buffer that is reused across values, so building a
// value allocates nothing once the buffer is warm except the final blob.
//
// Objects come out in key order whatever order their members arrive in; when
// a key arrives twice, the later member wins. Members that already arrive in
// order (as they do in every file moxal writes) cost no sorting at all, nor
// do those of an object whose keys came in the same order in an object
// before it (shape_cache.h).
//
// Errors are sticky: once a size limit is exceeded, ok() is false and the
// caller checks it once at the end. Allocation failure throws std::bad_alloc.

#ifndef MOXAL_VALUES_BUILDER_H_
#define MOXAL_VALUES_BUILDER_H_

#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/blob_arena.h"
#include "values/shape_cache.h"
#include "values/value.h"

namespace moxal {

class Builder {
 public:
  Builder() = default;
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  ~Builder();

  // Forgets everything built so far; keeps the buffer.
  void Reset();

  void Null() { Tag(tag::kNull); }
  void Bool(bool b) { Tag(b ? tag::kTrue : tag::kFalse); }
  void Unsigned(uint64_t v) { Number(tag::kUnsigned, v); }
  // `v` must be negative: non-negative integers are always Unsigned.
  void Negative(int64_t v) {
    assert(v < 0);
    Number(tag::kNegative, static_cast<uint64_t>(v));
  }
  // `v` must be finite.
  void Float(double v) {
    assert(std::isfinite(v));
    Number(tag::kFloat, std::bit_cast<uint64_t>(v));
  }
  void String(std::string_view s);
  // The string of the `n` bytes at `s`, where the bytes up to the next
  // multiple of 16 are readable too: it is copied in blocks of 16.
  void BlockString(const uint8_t* s, size_t n) {
    if (n > 0xFF) {
      String(std::string_view(reinterpret_cast<const char*>(s), n));
      return;
    }
    CountElement();
    size_t room = 2 + ((n + 15) & ~size_t{15});
    if (cap_ - size_ < room) Reserve(room);
    uint8_t* p = buf_ + size_;
    p[0] = tag::kStr8;
    p[1] = static_cast<uint8_t>(n);
    for (size_t i = 0; i < n; i += 16) std::memcpy(p + 2 + i, s + i, 16);
    size_ += 2 + n;
  }

  void BeginArray() { BeginContainer(tag::kArray); }
  void EndArray();
  void BeginObject() { BeginContainer(tag::kObject); }
  // The key of the next member of the innermost open object; its value
  // follows as the next event.
  void Key(std::string_view key);
  void EndObject();

  // What the innermost open object's next key is expected to be, when its
  // keys so far are those an earlier object of its shape began with: the
  // key's length byte, its bytes and a '"', with 16 bytes readable from the
  // second of them on. Null when nothing is expected.
  const uint8_t* ExpectedKey() const {
    assert(!frames_.empty() && frames_.back().object);
    const uint8_t* r = frames_.back().next_key;
    return r != nullptr && *r != ShapeCache::kEnd ? r : nullptr;
  }
  // Takes the key ExpectedKey() returned as the next member's key.
  void ExpectedKeyFound() {
    assert(ExpectedKey() != nullptr);
    Frame& f = frames_.back();
    const uint8_t* r = f.next_key;
    size_t n = size_t{r[0]} + 1;  // the length byte and the key
    if (r[n + 1] != 0) f.sorted = false;
    f.next_key = ShapeCache::After(r);
    entries_.push_back(size_);
    if (n <= ShapeCache::kPadding) {
      if (cap_ - size_ < ShapeCache::kPadding) Reserve(ShapeCache::kPadding);
      std::memcpy(buf_ + size_, r, ShapeCache::kPadding);  // the record is padded
      size_ += n;
    } else {
      std::memcpy(Grow(n), r, n);
    }
  }

  // False once a value grew beyond the encoding's 4 GiB limit.
  bool ok() const { return ok_; }
  // The one complete value built since the last Reset, as a new blob; then
  // resets. Requires ok() and every container closed.
  Value Finish();
  // The same, with the blob from `arena`.
  Value Finish(BlobArena& arena);

 private:
  struct Frame {
    size_t start;          // offset of the container's tag
    size_t entries_begin;  // first of its member offsets in entries_
    // Objects: the record of the key expected next in the shape cache's
    // slot `slot`, chosen by the first key; null once a key differed from
    // the shape's or when there is no shape.
    const uint8_t* next_key;
    uint32_t slot;   // kNoSlot: none chosen
    uint32_t count;  // elements so far (arrays)
    bool object;
    bool sorted;  // members so far arrived in strictly rising order
  };

  uint8_t* Grow(size_t n) {
    if (cap_ - size_ < n) Reserve(n);
    uint8_t* p = buf_ + size_;
    size_ += n;
    return p;
  }
  void Reserve(size_t n);
  void CountElement() {
    if (!frames_.empty() && !frames_.back().object) ++frames_.back().count;
  }
  void Tag(uint8_t t) {
    CountElement();
    *Grow(1) = t;
  }
  void Number(uint8_t t, uint64_t bits) {
    CountElement();
    uint8_t* p = Grow(kNumberSize);
    p[0] = t;
    StoreU64(p + 1, bits);
  }
  void BeginContainer(uint8_t t);
  void CloseContainer(const Frame& f, size_t count);
  // Appends `key` as the next member's key.
  void AppendKey(std::string_view key);
  // Puts the member offsets of the object `f` in key order, dropping all
  // but the last of repeated keys (and their bytes), and makes its keys the
  // shape of its slot. Returns the number kept.
  size_t OrderMembers(const Frame& f, size_t* entries, size_t n);
  // Whether the object just closed in slot `slot` should become its shape:
  // not the first object there, and no open object following the slot.
  bool ShouldLearn(uint32_t slot);
  ShapeCache& shapes();
  // Puts the member offsets of an object in key order, dropping all but the
  // last of repeated keys (and their bytes). Returns the number kept.
  size_t SortMembers(size_t body, size_t* entries, size_t n);
  // Fills spans_ with the members at `entries`, sorted by key; members with
  // equal keys keep their arrival order.
  void SortSpans(const size_t* entries, size_t n);
  // With spans_ sorted, rewrites the members from `body` on without the
  // repeated keys, sets `entries` to the kept ones in key order and returns
  // how many there are.
  size_t DropRepeatedKeys(size_t body, size_t* entries, size_t n);

  uint8_t* buf_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
  bool ok_ = true;
  std::vector<Frame> frames_;
  std::vector<size_t> entries_;  // member offsets of every open object

  // Scratch for SortMembers, kept to avoid reallocating.
  struct Span {
    size_t begin;
    size_t end;
    uint32_t arrival;  // position in arrival order
    std::string_view key;
  };
  std::vector<Span> spans_;
  std::vector<uint8_t> copy_;

  // Objects closed before shapes are looked for: most values built on
  // their own (a query, a small document) are done by then and cost no
  // hashing of keys.
  static constexpr uint64_t kShapesAfter = 2;
  static constexpr uint32_t kNoSlot = ShapeCache::kSlots;
  std::unique_ptr<ShapeCache> shapes_;  // made when a shape is first learned
  uint64_t objects_closed_ = 0;
  uint64_t seen_slots_ = 0;  // slots an object has closed in
  static_assert(ShapeCache::kSlots <= 64, "seen_slots_ has a bit per slot");
  std::vector<std::string_view> keys_;  // scratch for learning a shape
  std::vector<uint32_t> order_;
};

}  // namespace moxal

#endif  // MOXAL_VALUES_BUILDER_H_
