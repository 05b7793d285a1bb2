// A strict validator of encoded document values, for the fuzz harnesses.
//
// The accessors in value.h trust every size and offset they read; a blob
// with a wrong body size or a stale table slot would read garbage rather
// than fail. This walks a whole blob with bounds checks and says what is
// wrong with it: every tag known, every node inside its container, array
// bodies holding exactly their count of elements, object members laid end
// to end up to the table, the table naming each member once in strictly
// rising key order, strings and keys valid UTF-8, floats finite, negative
// integers negative, the root filling the blob exactly.

#ifndef MOXAL_TESTS_FUZZ_BLOB_CHECK_H_
#define MOXAL_TESTS_FUZZ_BLOB_CHECK_H_

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "values/utf8.h"
#include "values/value.h"

namespace moxal::fuzz {

class BlobChecker {
 public:
  BlobChecker(const uint8_t* blob, size_t size) : blob_(blob), size_(size) {}

  // "" when the blob holds one well-formed value, else what is wrong.
  std::string Check() {
    size_t end = 0;
    if (!Node(0, size_, &end, 0)) return error_;
    if (end != size_) return At(end, "root ends before the blob does");
    return "";
  }

 private:
  bool Fail(size_t at, const char* what) {
    error_ = At(at, what);
    return false;
  }
  static std::string At(size_t at, const char* what) {
    return std::string("blob offset ") + std::to_string(at) + ": " + what;
  }
  bool Utf8(size_t at, size_t n) {
    return IsValidUtf8(blob_ + at, n) || Fail(at, "string is not valid UTF-8");
  }

  // Checks the node at `at`, which must end by `limit`; sets *end past it.
  bool Node(size_t at, size_t limit, size_t* end, int depth) {
    if (depth > 2 * kMaxNesting) return Fail(at, "absurd nesting");
    if (at >= limit) return Fail(at, "node starts past its container");
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
        return Array(at, room, end, depth);
      case tag::kObject:
        return Object(at, room, end, depth);
      default:
        return Fail(at, "unknown tag");
    }
  }

  bool Number(size_t at, size_t room, size_t* end) {
    if (room < kNumberSize) return Fail(at, "number overruns its container");
    uint64_t bits = LoadU64(blob_ + at + 1);
    if (blob_[at] == tag::kNegative && static_cast<int64_t>(bits) >= 0) {
      return Fail(at, "negative integer that is not negative");
    }
    if (blob_[at] == tag::kFloat && !std::isfinite(std::bit_cast<double>(bits))) {
      return Fail(at, "float that is not finite");
    }
    *end = at + kNumberSize;
    return true;
  }

  bool String(size_t at, size_t room, size_t* end) {
    size_t head = blob_[at] == tag::kStr8 ? 2 : 5;
    if (room < head) return Fail(at, "string header overruns");
    size_t len = head == 2 ? blob_[at + 1] : LoadU32(blob_ + at + 1);
    if (room - head < len) return Fail(at, "string overruns its container");
    *end = at + head + len;
    return Utf8(at + head, len);
  }

  bool Header(size_t at, size_t room, uint32_t* count, size_t* body_end) {
    if (room < kContainerHeader) return Fail(at, "container header overruns");
    *count = LoadU32(blob_ + at + 1);
    size_t body = LoadU32(blob_ + at + 5);
    if (room - kContainerHeader < body) return Fail(at, "body overruns its container");
    *body_end = at + kContainerHeader + body;
    return true;
  }

  bool Array(size_t at, size_t room, size_t* end, int depth) {
    uint32_t count = 0;
    size_t body_end = 0;
    if (!Header(at, room, &count, &body_end)) return false;
    size_t q = at + kContainerHeader;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Node(q, body_end, &q, depth + 1)) return false;
    }
    if (q != body_end) return Fail(at, "array body size differs from its elements");
    *end = body_end;
    return true;
  }

  bool Object(size_t at, size_t room, size_t* end, int depth) {
    uint32_t count = 0;
    size_t body_end = 0;
    if (!Header(at, room, &count, &body_end)) return false;
    size_t body = at + kContainerHeader;
    if ((body_end - body) / 4 < count) return Fail(at, "table does not fit the body");
    size_t table = body_end - 4 * size_t{count};
    std::vector<uint32_t> starts;  // member offsets from the body, laid order
    size_t q = body;
    for (uint32_t i = 0; i < count; ++i) {
      starts.push_back(static_cast<uint32_t>(q - body));
      if (!Key(q, table, &q) || !Node(q, table, &q, depth + 1)) return false;
    }
    if (q != table) return Fail(at, "members do not end where the table starts");
    if (!Table(at, body, table, starts)) return false;
    *end = body_end;
    return true;
  }

  bool Key(size_t at, size_t limit, size_t* end) {
    if (at >= limit) return Fail(at, "key starts past the members");
    size_t len = blob_[at];
    size_t head = 1;
    if (len == 0xFF) {
      if (limit - at < 5) return Fail(at, "long key header overruns");
      len = LoadU32(blob_ + at + 1);
      head = 5;
      if (len < 0xFF) return Fail(at, "short key in the long key form");
    }
    if (limit - at - head < len) return Fail(at, "key overruns the members");
    *end = at + head + len;
    return Utf8(at + head, len);
  }

  // The table is a permutation of the member starts, in rising key order.
  bool Table(size_t at, size_t body, size_t table, std::vector<uint32_t> starts) {
    std::vector<uint32_t> slots;
    for (size_t i = 0; i < starts.size(); ++i) slots.push_back(LoadU32(blob_ + table + 4 * i));
    std::vector<uint32_t> sorted = slots;
    std::sort(sorted.begin(), sorted.end());
    if (sorted != starts) return Fail(at, "table slots are not the member offsets");
    std::string_view prev;
    for (size_t i = 0; i < slots.size(); ++i) {
      std::string_view key;
      DecodeKey(blob_ + body + slots[i], &key);
      if (i != 0 && CompareKeys(prev, key) >= 0) return Fail(at, "keys not in rising order");
      prev = key;
    }
    return true;
  }

  const uint8_t* blob_;
  size_t size_;
  std::string error_;
};

inline std::string CheckBlob(const Value& v) { return BlobChecker(v.data(), v.size()).Check(); }

}  // namespace moxal::fuzz

#endif  // MOXAL_TESTS_FUZZ_BLOB_CHECK_H_
