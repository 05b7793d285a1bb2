// The member keys of recently built objects, so that an object with the same
// keys in the same order as one before it costs no key comparisons and no
// sorting.
//
// Documents of one collection share their shape, and so do the elements of
// most arrays of objects. An object's shape is guessed from the last object
// at its depth, else found by its first key and its depth; from then on the
// Builder expects the keys that the shape has, one after the other. An object whose keys all came as expected takes the
// shape's member order; one that differs is ordered the ordinary way and
// becomes the shape of its place (see Learn; the Builder leaves the first
// object at each place unlearned, so that one-off objects cost nothing).
//
// The cache is a fixed table, so it never grows with the input; two kinds of
// object that land on one slot replace each other and only cost the time to
// learn them again.

#ifndef MOXAL_VALUES_SHAPE_CACHE_H_
#define MOXAL_VALUES_SHAPE_CACHE_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace moxal {

class ShapeCache {
 public:
  // Slots of the table: more than the kinds of object a typical collection
  // file holds (a few dozen in the most varied), few enough to stay small.
  static constexpr uint32_t kSlots = 64;  // at most 64: the Builder keeps a bit per slot
  // An object with more members is not learned: learning copies all keys,
  // which would cost too much for large objects that never repeat (maps
  // keyed by ids), while documents seldom have more.
  static constexpr size_t kMaxKeys = 64;
  // Nor one whose keys take more bytes than this, which bounds the table at
  // kSlots times this much.
  static constexpr size_t kMaxKeyBytes = 2048;

  // A key record: the key's length (below 0xFF), its bytes, a '"', and a
  // byte that is 1 when the key is not above the key before it. After the
  // last record of a shape comes kEnd, then padding, so that 16 bytes can
  // be read from any record's second byte.
  static constexpr uint8_t kEnd = 0xFF;
  static constexpr size_t kPadding = 16;

  ShapeCache() = default;
  ShapeCache(const ShapeCache&) = delete;
  ShapeCache& operator=(const ShapeCache&) = delete;

  // The slot for objects at `depth` whose first key is `key`.
  static uint32_t SlotFor(std::string_view key, size_t depth);

  // When slot `slot` holds a shape whose first key is `key`, the record of
  // its second key (possibly kEnd); else null.
  const uint8_t* Follow(uint32_t slot, std::string_view key) const;

  // For a record of the shape in `slot`: its key, and the record after it.
  static std::string_view KeyOf(const uint8_t* record) {
    return {reinterpret_cast<const char*>(record + 1), record[0]};
  }
  static const uint8_t* After(const uint8_t* record) { return record + record[0] + 3; }

  // The first record of the shape in the slot that the last object at
  // `depth` used (*slot is set to it), or null when there is none: the
  // guess for the next object at that depth, before its first key is read.
  const uint8_t* Guess(size_t depth, uint32_t* slot) const {
    if (depth >= kGuessDepths) return nullptr;
    *slot = last_slot_[depth];
    const std::string& r = slots_[*slot].records;
    return r.empty() ? nullptr : reinterpret_cast<const uint8_t*>(r.data());
  }
  // Notes that the object at `depth` uses `slot`.
  void Used(size_t depth, uint32_t slot) {
    assert(slot < kSlots);
    if (depth < kGuessDepths) last_slot_[depth] = static_cast<uint8_t>(slot);
  }

  // The arrival positions of the members of the shape in `slot`, in key
  // order.
  const uint32_t* Order(uint32_t slot) const {
    assert(slot < kSlots && !slots_[slot].order.empty());
    return slots_[slot].order.data();
  }

  // Makes the `n` keys at `keys` (in arrival order, no key repeated) the
  // shape of `slot`, with `order` as its member order (null when the keys
  // arrived in order). Objects that cannot be matched byte for byte against
  // JSON text (a key holding '"', '\\' or a control byte) or are too large
  // are not learned.
  void Learn(uint32_t slot, const std::string_view* keys, size_t n, const uint32_t* order);

 private:
  struct Shape {
    std::string records;
    std::vector<uint32_t> order;
  };
  static bool Learnable(const std::string_view* keys, size_t n);

  // Depths for which the last slot is kept: deeper objects are rare in
  // documents and go without a guess.
  static constexpr size_t kGuessDepths = 32;

  Shape slots_[kSlots];
  uint8_t last_slot_[kGuessDepths] = {};
};

}  // namespace moxal

#endif  // MOXAL_VALUES_SHAPE_CACHE_H_
