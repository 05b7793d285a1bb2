#include "values/blob_check.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <string_view>
#include <vector>

#include "values/utf8.h"
#include "values/value.h"

namespace moxal {

namespace {

class Checker {
 public:
  explicit Checker(const uint8_t* blob) : blob_(blob) {}

  // Checks the node at `at`, which must end by `limit`; sets *end past it.
  bool Node(size_t at, size_t limit, size_t* end, int depth_left) {
    if (at >= limit) return false;
    const uint8_t* p = blob_ + at;
    size_t room = limit - at;
    switch (p[0]) {
      case tag::kNull:
      case tag::kFalse:
      case tag::kTrue:
        *end = at + 1;
        return true;
      case tag::kUnsigned:
      case tag::kNegative:
      case tag::kFloat:
        return Number(at, room, end);
      case tag::kStr8:
      case tag::kStr32:
        return String(at, room, end);
      case tag::kArray:
        return depth_left > 0 && Array(at, room, end, depth_left - 1);
      case tag::kObject:
        return depth_left > 0 && Object(at, room, end, depth_left - 1);
      default:
        return false;
    }
  }

 private:
  bool Number(size_t at, size_t room, size_t* end) {
    if (room < kNumberSize) return false;
    uint64_t bits = LoadU64(blob_ + at + 1);
    if (blob_[at] == tag::kNegative && static_cast<int64_t>(bits) >= 0) return false;
    if (blob_[at] == tag::kFloat && !std::isfinite(std::bit_cast<double>(bits))) return false;
    *end = at + kNumberSize;
    return true;
  }

  bool String(size_t at, size_t room, size_t* end) {
    size_t head = blob_[at] == tag::kStr8 ? 2 : 5;
    if (room < head) return false;
    size_t len = head == 2 ? blob_[at + 1] : LoadU32(blob_ + at + 1);
    if (room - head < len) return false;
    *end = at + head + len;
    return IsValidUtf8(blob_ + at + head, len);
  }

  bool Header(size_t at, size_t room, uint32_t* count, size_t* body_end) {
    if (room < kContainerHeader) return false;
    *count = LoadU32(blob_ + at + 1);
    size_t body = LoadU32(blob_ + at + 5);
    if (room - kContainerHeader < body) return false;
    *body_end = at + kContainerHeader + body;
    return true;
  }

  bool Array(size_t at, size_t room, size_t* end, int depth_left) {
    uint32_t count = 0;
    size_t body_end = 0;
    if (!Header(at, room, &count, &body_end)) return false;
    size_t q = at + kContainerHeader;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Node(q, body_end, &q, depth_left)) return false;
    }
    *end = body_end;
    return q == body_end;
  }

  bool Object(size_t at, size_t room, size_t* end, int depth_left) {
    uint32_t count = 0;
    size_t body_end = 0;
    if (!Header(at, room, &count, &body_end)) return false;
    size_t body = at + kContainerHeader;
    if ((body_end - body) / 4 < count) return false;
    size_t table = body_end - 4 * size_t{count};
    // The starts of the members as laid, rising; checked against the table
    // below. On the stack for the objects documents are made of, which
    // have few members.
    uint32_t few[32];
    std::vector<uint32_t> many;
    uint32_t* starts = few;
    if (count > std::size(few)) {
      many.resize(count);
      starts = many.data();
    }
    size_t q = body;
    for (uint32_t i = 0; i < count; ++i) {
      starts[i] = static_cast<uint32_t>(q - body);
      if (!Key(q, table, &q) || !Node(q, table, &q, depth_left)) return false;
    }
    if (q != table) return false;
    *end = body_end;
    return Table(body, table, starts, count);
  }

  bool Key(size_t at, size_t limit, size_t* end) {
    if (at >= limit) return false;
    size_t len = blob_[at];
    size_t head = 1;
    if (len == 0xFF) {
      if (limit - at < 5) return false;
      len = LoadU32(blob_ + at + 1);
      head = 5;
    }
    if (limit - at - head < len) return false;
    *end = at + head + len;
    return IsValidUtf8(blob_ + at + head, len);
  }

  // Each slot names a member start, and the keys rise strictly through the
  // table, so no member is named twice: the table is a permutation of the
  // members in key order.
  bool Table(size_t body, size_t table, const uint32_t* starts, uint32_t count) {
    std::string_view prev;
    for (size_t i = 0; i < count; ++i) {
      uint32_t slot = LoadU32(blob_ + table + 4 * i);
      if (!std::binary_search(starts, starts + count, slot)) return false;
      std::string_view key;
      DecodeKey(blob_ + body + slot, &key);
      if (i != 0 && CompareKeys(prev, key) >= 0) return false;
      prev = key;
    }
    return true;
  }

  const uint8_t* blob_;
};

}  // namespace

bool IsWellFormedValue(const uint8_t* data, size_t size, int max_depth) {
  size_t end = 0;
  return Checker(data).Node(0, size, &end, max_depth) && end == size;
}

}  // namespace moxal
