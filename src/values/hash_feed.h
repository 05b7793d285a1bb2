// The hash feed: the byte stream that equal values always produce alike.
//
// Counts and kind codes go in as 4-byte little-endian integers; a number as
// its 8 payload bytes (both zeros as eight zero bytes; the number kind is not
// fed); a string as its bytes and 0xFF; an array as its count and elements;
// an object as its member feed: the count, then per member in key order the
// key bytes, 0xFF, and the value's feed.
//
// The feed is generic over the sink, which needs UpdateU32, UpdateU64,
// UpdateByte and Update(data, n); the cache hashes it with SipHash13 and the
// tests capture it as bytes.

#ifndef MOXAL_VALUES_HASH_FEED_H_
#define MOXAL_VALUES_HASH_FEED_H_

#include <cstdint>

#include "values/value.h"

namespace moxal {

template <class Sink>
void FeedMembers(ObjectRef obj, Sink& sink);

// The 8 bytes a number is hashed by: its payload, except that -0.0 is
// taken as 0.0, which it equals. Every hash of values (this feed, and
// HashValue of value_hash.h, which the equality index keys by) goes
// through here, so that values Equal() calls equal hash alike.
inline uint64_t NumberHashBits(ValueRef v) {
  uint64_t bits = v.bits();
  if (v.tag() == tag::kFloat && (bits << 1) == 0) bits = 0;
  return bits;
}

template <class Sink>
void FeedValue(ValueRef v, Sink& sink) {
  sink.UpdateU32(static_cast<uint32_t>(v.kind()));
  switch (v.kind()) {
    case Kind::kNull:
      return;
    case Kind::kBool:
      sink.UpdateByte(v.as_bool() ? 1 : 0);
      return;
    case Kind::kNumber:
      sink.UpdateU64(NumberHashBits(v));
      return;
    case Kind::kString: {
      std::string_view s = v.as_string();
      sink.Update(s.data(), s.size());
      sink.UpdateByte(0xFF);
      return;
    }
    case Kind::kArray: {
      ArrayRef a = v.as_array();
      sink.UpdateU32(a.count());
      for (ValueRef e : a) FeedValue(e, sink);
      return;
    }
    case Kind::kObject:
      FeedMembers(v.as_object(), sink);
      return;
  }
}

template <class Sink>
void FeedMembers(ObjectRef obj, Sink& sink) {
  sink.UpdateU32(obj.count());
  for (Member m : obj) {
    sink.Update(m.key.data(), m.key.size());
    sink.UpdateByte(0xFF);
    FeedValue(m.value, sink);
  }
}

}  // namespace moxal

#endif  // MOXAL_VALUES_HASH_FEED_H_
