// Document values.
//
// A document value is a JSON tree of six kinds (null, boolean, number,
// string, array, object) with three number kinds (non-negative 64-bit
// integer, negative 64-bit integer, finite double). Object members are kept
// in ascending byte order of their keys.
//
// Storage. A value is encoded into one contiguous byte block (a "blob"), so
// a document costs one allocation (or a slice of a larger block when many
// are read at once, see blob_arena.h), walks sequentially, and can be
// shared by reference count between a collection and the result lists of
// the cache:
// copying a Value is O(1) and observably a deep copy, because no one ever
// writes to a blob that is shared (edit.h writes in place only into a blob
// nobody else holds).
//
// Encoding of one node, little-endian, no alignment:
//
//   null / false / true   tag
//   unsigned integer      tag, u64
//   negative integer      tag, i64 (two's complement)
//   float                 tag, IEEE-754 binary64 bit pattern
//   short string          tag, u8 length, UTF-8 bytes      (length <= 255)
//   long string           tag, u32 length, UTF-8 bytes
//   array                 tag, u32 count, u32 body size, elements
//   object                tag, u32 count, u32 body size, members, u32 table[count]
//
// Each member of an object is its key (u8 length, or 0xFF and a u32 length,
// then the bytes) followed by its value. Members are stored in the order they
// arrived; the table after them holds each member's offset from the start of
// the body in key order, so members are visited in key order through the
// table and a key is found by binary search. The body size counts every byte
// after the 9-byte container header, table included.
//
// Limit: a container's body and a whole blob are at most 4 GiB - 1 bytes,
// since sizes are 32-bit. That bounds a single document, not a collection,
// which holds one blob per document.

#ifndef MOXAL_VALUES_VALUE_H_
#define MOXAL_VALUES_VALUE_H_

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace moxal {

static_assert(std::endian::native == std::endian::little,
              "the value encoding assumes a little-endian machine");

// The kinds, with the codes the hash feed uses.
enum class Kind : uint8_t {
  kNull = 0,
  kBool = 1,
  kNumber = 2,
  kString = 3,
  kArray = 4,
  kObject = 5,
};

// Deepest nesting of arrays and objects a JSON text may have. A collection
// file is an array of documents, so a stored document may nest one level
// less than this. Reading, writing, comparing, hashing and converting a
// value recurse once a level, so the bound keeps each of them to some
// kilobytes of stack whatever the input. Deeper texts are refused, so the
// number is part of the file format: with a higher one, a newer version
// could write files that an older one cannot open.
inline constexpr int kMaxNesting = 127;

// The first byte of every node, which says what the node is. A switch over
// a tag names every one (no default:), so the compiler points out each
// switch that a new tag would have to join.
namespace tag {
enum Tag : uint8_t {
  kNull = 0,
  kFalse = 1,
  kTrue = 2,
  kUnsigned = 3,
  kNegative = 4,
  kFloat = 5,
  kStr8 = 6,
  kStr32 = 7,
  kArray = 8,
  kObject = 9,
};
inline constexpr int kCount = 10;
}  // namespace tag

// Ends a switch that names every tag: no other byte starts a node.
[[noreturn]] inline void NoSuchTag() {
  assert(false && "a node starts with a byte that is no tag");
  __builtin_unreachable();
}

inline constexpr size_t kContainerHeader = 9;  // tag, count, body size
inline constexpr size_t kNumberSize = 9;       // tag, 8 payload bytes

inline uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t LoadU64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void StoreU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void StoreU64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// memcpy for the short keys and strings documents are made of: fixed-size
// moves instead of a call into the C library.
inline void CopyBytes(uint8_t* dst, const void* src_v, size_t n) {
  const auto* src = static_cast<const uint8_t*>(src_v);
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

// Byte equality of two short strings without a call into the C library.
inline bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Decodes the member key at `entry`; returns the address of the member value.
inline const uint8_t* DecodeKey(const uint8_t* entry, std::string_view* key) {
  size_t len = entry[0];
  const uint8_t* p = entry + 1;
  if (len == 0xFF) {
    len = LoadU32(p);
    p += 4;
  }
  *key = std::string_view(reinterpret_cast<const char*>(p), len);
  return p + len;
}

class ArrayRef;
class ObjectRef;

// A read-only view of one encoded node. It does not own anything; the blob it
// points into must outlive it. A default-constructed ValueRef is "absent".
class ValueRef {
 public:
  ValueRef() = default;
  explicit ValueRef(const uint8_t* p) : p_(p) {}

  explicit operator bool() const { return p_ != nullptr; }
  const uint8_t* data() const { return p_; }
  tag::Tag tag() const { return static_cast<tag::Tag>(*p_); }

  Kind kind() const {
    static constexpr Kind kKinds[tag::kCount] = {
        Kind::kNull,   Kind::kBool,   Kind::kBool,   Kind::kNumber, Kind::kNumber,
        Kind::kNumber, Kind::kString, Kind::kString, Kind::kArray,  Kind::kObject};
    return kKinds[*p_];
  }
  bool is_number() const { return *p_ >= tag::kUnsigned && *p_ <= tag::kFloat; }
  bool is_array() const { return *p_ == tag::kArray; }
  bool is_object() const { return *p_ == tag::kObject; }

  bool as_bool() const {
    assert(*p_ == tag::kFalse || *p_ == tag::kTrue);
    return *p_ == tag::kTrue;
  }
  // The 8 payload bytes of a number, as stored.
  uint64_t bits() const {
    assert(is_number());
    return LoadU64(p_ + 1);
  }
  uint64_t as_unsigned() const {
    assert(*p_ == tag::kUnsigned);
    return bits();
  }
  int64_t as_negative() const {
    assert(*p_ == tag::kNegative);
    return static_cast<int64_t>(bits());
  }
  double as_float() const {
    assert(*p_ == tag::kFloat);
    return std::bit_cast<double>(bits());
  }
  // Any number as the nearest double (ties to even).
  double ToDouble() const {
    assert(is_number());
    if (*p_ == tag::kUnsigned) return static_cast<double>(as_unsigned());
    if (*p_ == tag::kNegative) return static_cast<double>(as_negative());
    return as_float();
  }

  std::string_view as_string() const {
    assert(*p_ == tag::kStr8 || *p_ == tag::kStr32);
    if (*p_ == tag::kStr8) {
      return {reinterpret_cast<const char*>(p_ + 2), p_[1]};
    }
    return {reinterpret_cast<const char*>(p_ + 5), LoadU32(p_ + 1)};
  }

  inline ArrayRef as_array() const;
  inline ObjectRef as_object() const;

  // Number of bytes this node's encoding occupies.
  size_t size() const {
    switch (tag()) {
      case tag::kNull:
      case tag::kFalse:
      case tag::kTrue:
        return 1;
      case tag::kUnsigned:
      case tag::kNegative:
      case tag::kFloat:
        return kNumberSize;
      case tag::kStr8:
        return 2 + size_t{p_[1]};
      case tag::kStr32:
        return 5 + size_t{LoadU32(p_ + 1)};
      case tag::kArray:
      case tag::kObject:
        return kContainerHeader + size_t{LoadU32(p_ + 5)};
    }
    NoSuchTag();
  }

 private:
  const uint8_t* p_ = nullptr;
};

// Elements of an array, visited in order.
class ArrayRef {
 public:
  explicit ArrayRef(const uint8_t* p) : p_(p) { assert(*p == tag::kArray); }
  uint32_t count() const { return LoadU32(p_ + 1); }
  const uint8_t* data() const { return p_; }

  class Iterator {
   public:
    explicit Iterator(const uint8_t* p) : p_(p) {}
    ValueRef operator*() const { return ValueRef(p_); }
    Iterator& operator++() {
      p_ += ValueRef(p_).size();
      return *this;
    }
    bool operator!=(const Iterator& o) const { return p_ != o.p_; }

   private:
    const uint8_t* p_;
  };
  Iterator begin() const { return Iterator(p_ + kContainerHeader); }
  Iterator end() const { return Iterator(p_ + kContainerHeader + LoadU32(p_ + 5)); }

 private:
  const uint8_t* p_;
};

struct Member {
  std::string_view key;
  ValueRef value;
};

// Members of an object, visited in key order; lookup by binary search.
class ObjectRef {
 public:
  explicit ObjectRef(const uint8_t* p) : p_(p) { assert(*p == tag::kObject); }
  uint32_t count() const { return LoadU32(p_ + 1); }
  const uint8_t* data() const { return p_; }
  const uint8_t* body() const { return p_ + kContainerHeader; }
  const uint8_t* table() const { return body() + LoadU32(p_ + 5) - 4 * size_t{count()}; }
  // Offset of member `i` (in key order) from the start of the body.
  uint32_t offset(uint32_t i) const {
    assert(i < count());
    return LoadU32(table() + 4 * size_t{i});
  }
  Member member(uint32_t i) const { return MemberAt(body() + offset(i)); }

  // Index of the member with this key, or -1.
  int64_t FindIndex(std::string_view key) const;
  // The same, trying index *hint first and leaving the index found there.
  // Documents of one collection tend to share their shape, so a clause
  // that looks up the same key in every document mostly hits at once.
  int64_t FindIndex(std::string_view key, uint32_t* hint) const {
    if (*hint < count()) {
      std::string_view k;
      DecodeKey(body() + offset(*hint), &k);
      if (SameBytes(k, key)) return *hint;
    }
    int64_t i = FindIndex(key);
    if (i >= 0) *hint = static_cast<uint32_t>(i);
    return i;
  }
  // Value of the member with this key, or an absent ValueRef.
  ValueRef Find(std::string_view key) const {
    int64_t i = FindIndex(key);
    return i < 0 ? ValueRef() : member(static_cast<uint32_t>(i)).value;
  }

  // Visits the members in key order.
  class Iterator {
   public:
    Iterator(const uint8_t* body, const uint8_t* slot) : body_(body), slot_(slot) {}
    Member operator*() const { return MemberAt(body_ + LoadU32(slot_)); }
    Iterator& operator++() {
      slot_ += 4;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return slot_ != o.slot_; }

   private:
    const uint8_t* body_;
    const uint8_t* slot_;
  };
  Iterator begin() const { return Iterator(body(), table()); }
  Iterator end() const { return Iterator(body(), table() + 4 * size_t{count()}); }

 private:
  // The member whose key starts at `entry`.
  static Member MemberAt(const uint8_t* entry) {
    Member m;
    m.value = ValueRef(DecodeKey(entry, &m.key));
    return m;
  }

  const uint8_t* p_;
};

inline ArrayRef ValueRef::as_array() const { return ArrayRef(p_); }
inline ObjectRef ValueRef::as_object() const { return ObjectRef(p_); }

// Compares keys as unsigned bytes, a prefix sorting first.
inline int CompareKeys(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  if (n <= 16) {
    // Short keys are the rule; a loop beats a call into the C library.
    for (size_t i = 0; i < n; ++i) {
      uint8_t x = static_cast<uint8_t>(a[i]);
      uint8_t y = static_cast<uint8_t>(b[i]);
      if (x != y) return x < y ? -1 : 1;
    }
  } else if (int c = std::memcmp(a.data(), b.data(), n); c != 0) {
    return c;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// An owned, reference-counted document value. Copies share the blob; the
// value is never changed while shared (edit.h copies on write).
//
// Reference counts are plain integers, not atomics, although calls copy
// and drop values without the interpreter lock (an update, say). No two
// threads ever change one count at once, because
//  - the calls of one Moxal object never overlap: a call borrows its object
//    for its whole length, and a call from another thread waits for it
//    (python/borrow.h);
//  - values of different objects share no blob: a call's values come from
//    its own arguments, its object's collections and the files it reads,
//    and what goes back to Python is new Python objects;
//  - a result handed to Python is converted, under the interpreter lock, by
//    the call that owns it, before that call gives up its borrow;
//  - a thread that a call starts to read a large file makes values of its
//    own, which the call takes over only after joining it.
// The same holds for the blocks that blobs may be carved from (see
// blob_arena.h): all blobs of one block belong to the values of one read,
// and so to one object.
class Value {
 public:
  Value() = default;  // empty: holds no value at all
  Value(const Value& o) : b_(o.b_) {
    if (b_) ++b_->refs;
  }
  Value(Value&& o) noexcept : b_(o.b_) { o.b_ = nullptr; }
  Value& operator=(const Value& o) {
    if (o.b_) ++o.b_->refs;
    Release();
    b_ = o.b_;
    return *this;
  }
  Value& operator=(Value&& o) noexcept {
    if (this != &o) {
      Release();
      b_ = o.b_;
      o.b_ = nullptr;
    }
    return *this;
  }
  ~Value() { Release(); }

  // A new blob holding a copy of `size` encoded bytes. Throws std::bad_alloc,
  // as Allocate does.
  static Value CopyOf(const uint8_t* data, size_t size);
  // A new blob of `size` uninitialised bytes for the caller to fill. Throws
  // std::bad_alloc when memory runs out or `size` is beyond the 4 GiB limit.
  static Value Allocate(size_t size);
  // A new blob holding a copy of the node `v`.
  static Value CopyOf(ValueRef v) { return CopyOf(v.data(), v.size()); }

  bool empty() const { return b_ == nullptr; }
  ValueRef ref() const { return ValueRef(data()); }
  const uint8_t* data() const {
    assert(!empty());
    return b_->bytes;
  }
  size_t size() const {
    assert(!empty());
    return b_->size;
  }
  // True when no other Value shares this blob, so it may be written in place.
  bool unique() const { return b_ && (b_->refs & ~kCarved) == 1; }
  // The bytes, to write in place: only while unique().
  uint8_t* mutable_data() {
    assert(unique());
    return b_->bytes;
  }
  bool SameBlob(const Value& o) const { return b_ == o.b_; }

 private:
  friend class BlobArena;
  struct Blob {
    uint32_t refs;  // kCarved, and below it the count
    uint32_t size;
    uint8_t bytes[1];
  };
  // Marks a blob carved out of a BlobArena's block. A count cannot reach
  // this bit: that would take 2^31 Values, 16 GiB of them, on one blob.
  static constexpr uint32_t kCarved = uint32_t{1} << 31;
  explicit Value(Blob* b) : b_(b) {}
  void Release() {
    assert(b_ == nullptr || (b_->refs & ~kCarved) != 0);
    if (b_ != nullptr && (--b_->refs & ~kCarved) == 0) Free(b_);
    b_ = nullptr;
  }
  // Frees `b`, whose count has dropped to zero.
  static void Free(Blob* b);

  Blob* b_ = nullptr;
};

}  // namespace moxal

#endif  // MOXAL_VALUES_VALUE_H_
