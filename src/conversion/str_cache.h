// A cache of str objects by their UTF-8 bytes, for the life of one
// conversion to Python: equal byte strings get one shared str.

#ifndef MOXAL_CONVERSION_STR_CACHE_H_
#define MOXAL_CONVERSION_STR_CACHE_H_

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "conversion/py_ref.h"
#include "values/short_word.h"
#include "values/swar.h"

namespace moxal {

// A new str from valid UTF-8, or null with a Python exception set.
inline PyObject* NewStr(std::string_view s) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  if (swar::AsciiPrefix(bytes, s.size()) == s.size()) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
    return o;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

namespace str_cache_internal {

inline uint64_t Load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// A string as the cache keys it: its length and two words that hold each
// of its first 16 bytes, so that strings of up to 16 bytes are equal when
// their keys are, and longer ones when their bytes are too.
struct Key {
  uint64_t w0;
  uint64_t w1;
  size_t size;

  explicit Key(std::string_view s) : size(s.size()) {
    if (size >= 8) {
      w0 = Load8(s.data());
      w1 = Load8(s.data() + (size <= 16 ? size - 8 : 8));
    } else {
      w0 = size == 0 ? 0 : ShortWord(reinterpret_cast<const uint8_t*>(s.data()), size, 0);
      w1 = 0;
    }
  }

  // Whether this key, of the string at `data`, stands for `s` (whose key is
  // `other`).
  bool Matches(const Key& other, const char* data, std::string_view s) const {
    return size == other.size && w0 == other.w0 && w1 == other.w1 &&
           (size <= 16 || std::memcmp(data, s.data(), s.size()) == 0);
  }

  // A hash of the whole string, a word at a time.
  uint64_t Hash(std::string_view s) const {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    uint64_t h = ((size + 1) * kMul ^ w0) * kMul;
    h = (h ^ w1) * kMul;
    for (size_t i = 16; i < size; i += 8) {
      h = (h ^ Load8(s.data() + (i + 8 <= size ? i : size - 8))) * kMul;
    }
    return h >> 20;
  }
};

}  // namespace str_cache_internal

// The cache of one conversion, for string values: it looks in one slot
// only and puts a new string there, replacing what was there, as among many
// strings of which only some recur the recent ones are the likeliest to
// come again. It holds borrowed references: every str it hands out goes into
// the result being built, which holds it until the conversion ends, and a
// failure ends the conversion before the cache is asked again. So a cache
// never touches a str it lets go of, which would often be a cache miss.
class StrCache {
 public:
  // A cache of `slots` (a power of two, or 0 for none) entries. When the
  // table cannot be allocated, the cache makes a new str every time.
  explicit StrCache(size_t slots) {
    assert((slots & (slots - 1)) == 0);
    slots_ = slots == 0 ? nullptr : static_cast<Slot*>(PyMem_Calloc(slots, sizeof(Slot)));
    mask_ = slots_ != nullptr ? slots - 1 : 0;
  }
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache() { PyMem_Free(slots_); }

  // A new reference to a str holding `s`, the one an earlier call made for
  // the same bytes when the cache kept it, else a new one from make(s).
  // Null with a Python exception set when make fails. The bytes at `s` must
  // outlive the cache.
  template <class Make>
  PyObject* Get(std::string_view s, Make make) {
    if (slots_ == nullptr) return make(s);
    const str_cache_internal::Key key(s);
    Slot& slot = slots_[key.Hash(s) & mask_];
    if (slot.str != nullptr && slot.key.Matches(key, slot.data, s)) return Py_NewRef(slot.str);
    PyObject* str = make(s);
    if (str != nullptr) slot = {key, s.data(), str};
    return str;
  }

 private:
  struct Slot {
    str_cache_internal::Key key;
    const char* data;  // the bytes, compared past the first 16
    PyObject* str;     // borrowed; null for an empty slot
  };

  Slot* slots_;
  size_t mask_;
};

}  // namespace moxal

#endif  // MOXAL_CONVERSION_STR_CACHE_H_
