// Builds one encoded document value (value.h) from a stream of events.
//
// The JSON reader and the conversion from Python both drive a Builder. It
// writes into one growing buffer that is reused across values, so building a
// value allocates nothing once the buffer is warm except the final blob.
//
// Objects come out in key order whatever order their members arrive in; when
// a key arrives twice, the later member wins. Members that already arrive in
// order (as they do in every file moxal writes) cost no sorting at all.
//
// Errors are sticky: once a size limit is exceeded, ok() is false and the
// caller checks it once at the end. Allocation failure throws std::bad_alloc.

#ifndef MOXAL_VALUES_BUILDER_H_
#define MOXAL_VALUES_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
  void Negative(int64_t v) { Number(tag::kNegative, static_cast<uint64_t>(v)); }
  // `v` must be finite.
  void Float(double v);
  void String(std::string_view s);

  void BeginArray() { BeginContainer(tag::kArray); }
  void EndArray();
  void BeginObject() { BeginContainer(tag::kObject); }
  // The key of the next member of the innermost open object; its value
  // follows as the next event.
  void Key(std::string_view key);
  void EndObject();

  // Appends an already encoded node as it is.
  void Raw(ValueRef v);

  // False once a value grew beyond the encoding's 4 GiB limit.
  bool ok() const { return ok_; }
  // The one complete value built since the last Reset, as a new blob; then
  // resets. Requires ok() and every container closed.
  Value Finish();

 private:
  struct Frame {
    size_t start;          // offset of the container's tag
    size_t entries_begin;  // first of its member offsets in entries_
    uint32_t count;        // elements so far (arrays)
    bool object;
    bool sorted;           // members so far arrived in strictly rising order
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

  // The keys (in arrival order) of the last object that needed sorting and
  // the arrival positions in key order: objects of one collection usually
  // repeat their shape, and then sorting is a lookup.
  bool SameShape(const size_t* entries, size_t n) const;
  void RememberShape(const size_t* entries, size_t n);
  std::string shape_keys_;
  std::vector<size_t> shape_lengths_;
  std::vector<uint32_t> shape_order_;
  std::vector<size_t> reordered_;
};

}  // namespace moxal

#endif  // MOXAL_VALUES_BUILDER_H_
