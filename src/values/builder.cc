#include "values/builder.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <limits>
#include <new>

namespace moxal {

namespace {
constexpr size_t kMaxU32 = std::numeric_limits<uint32_t>::max();
}  // namespace

Builder::~Builder() { std::free(buf_); }

void Builder::Reset() {
  size_ = 0;
  ok_ = true;
  frames_.clear();
  entries_.clear();
}

void Builder::Reserve(size_t n) {
  // Doubling keeps the copies of a growing value linear in its size; a
  // first buffer of 256 bytes holds a small document without regrowing.
  size_t want = std::max(cap_ * 2, size_ + n);
  want = std::max<size_t>(want, 256);
  void* mem = std::realloc(buf_, want);
  if (mem == nullptr) throw std::bad_alloc();
  buf_ = static_cast<uint8_t*>(mem);
  cap_ = want;
}

void Builder::String(std::string_view s) {
  CountElement();
  if (s.size() <= 0xFF) {
    uint8_t* p = Grow(2 + s.size());
    p[0] = tag::kStr8;
    p[1] = static_cast<uint8_t>(s.size());
    CopyBytes(p + 2, s.data(), s.size());
    return;
  }
  if (s.size() > kMaxU32) {
    ok_ = false;
    return;
  }
  uint8_t* p = Grow(5 + s.size());
  p[0] = tag::kStr32;
  StoreU32(p + 1, static_cast<uint32_t>(s.size()));
  std::memcpy(p + 5, s.data(), s.size());
}

void Builder::BeginContainer(uint8_t t) {
  CountElement();
  Frame f;
  f.start = size_;
  f.entries_begin = entries_.size();
  f.next_key = nullptr;
  f.slot = kNoSlot;
  f.count = 0;
  f.object = (t == tag::kObject);
  f.sorted = true;
  if (f.object && shapes_) f.next_key = shapes_->Guess(frames_.size() + 1, &f.slot);
  frames_.push_back(f);
  uint8_t* p = Grow(kContainerHeader);
  p[0] = t;  // count and body size are patched when the container closes
}

ShapeCache& Builder::shapes() {
  if (!shapes_) shapes_ = std::make_unique<ShapeCache>();
  return *shapes_;
}

void Builder::Key(std::string_view key) {
  assert(!frames_.empty() && frames_.back().object);
  Frame& f = frames_.back();
  if (const uint8_t* r = ExpectedKey(); r && SameBytes(ShapeCache::KeyOf(r), key)) {
    ExpectedKeyFound();
    return;
  }
  if (entries_.size() == f.entries_begin) {
    if (objects_closed_ < kShapesAfter) {
      AppendKey(key);
      return;
    }
    f.slot = ShapeCache::SlotFor(key, frames_.size());
    if (shapes_) {
      f.next_key = shapes_->Follow(f.slot, key);
      shapes_->Used(frames_.size(), f.slot);
    }
  } else {
    f.next_key = nullptr;
    if (f.sorted) {
      std::string_view prev;
      DecodeKey(buf_ + entries_.back(), &prev);
      if (CompareKeys(prev, key) >= 0) f.sorted = false;
    }
  }
  AppendKey(key);
}

void Builder::AppendKey(std::string_view key) {
  entries_.push_back(size_);
  if (key.size() > kMaxU32) {
    ok_ = false;
    return;
  }
  if (key.size() < 0xFF) {
    uint8_t* p = Grow(1 + key.size());
    p[0] = static_cast<uint8_t>(key.size());
    CopyBytes(p + 1, key.data(), key.size());
  } else {
    uint8_t* p = Grow(5 + key.size());
    p[0] = 0xFF;
    StoreU32(p + 1, static_cast<uint32_t>(key.size()));
    std::memcpy(p + 5, key.data(), key.size());
  }
}

void Builder::CloseContainer(const Frame& f, size_t count) {
  size_t body = size_ - f.start - kContainerHeader;
  if (body > kMaxU32 || count > kMaxU32) {
    ok_ = false;
    return;
  }
  StoreU32(buf_ + f.start + 1, static_cast<uint32_t>(count));
  StoreU32(buf_ + f.start + 5, static_cast<uint32_t>(body));
}

void Builder::EndArray() {
  assert(!frames_.empty() && !frames_.back().object);
  Frame f = frames_.back();
  frames_.pop_back();
  CloseContainer(f, f.count);
}

void Builder::EndObject() {
  assert(!frames_.empty() && frames_.back().object);
  Frame f = frames_.back();
  frames_.pop_back();
  size_t body = f.start + kContainerHeader;
  size_t n = entries_.size() - f.entries_begin;
  size_t* ents = entries_.data() + f.entries_begin;
  ++objects_closed_;
  // An object with its shape's keys in its shape's order takes the shape's
  // member order; any other is ordered here.
  const uint32_t* order = nullptr;
  if (f.next_key != nullptr && *f.next_key == ShapeCache::kEnd) {
    order = shapes_->Order(f.slot);
  } else if (n != 0 && (!f.sorted || f.slot != kNoSlot)) {
    n = OrderMembers(f, ents, n);
  }
  // Every offset is below the body's size, which CloseContainer checks.
  uint8_t* t = Grow(4 * n);
  if (order != nullptr) {
    for (size_t i = 0; i < n; ++i)
      StoreU32(t + 4 * i, static_cast<uint32_t>(ents[order[i]] - body));
  } else {
    for (size_t i = 0; i < n; ++i) StoreU32(t + 4 * i, static_cast<uint32_t>(ents[i] - body));
  }
  entries_.resize(f.entries_begin);
  CloseContainer(f, n);
}

size_t Builder::OrderMembers(const Frame& f, size_t* entries, size_t n) {
  // Members were written back to back from the body's start to the end of
  // the buffer, in arrival order. Usually only the table needs sorting; the
  // members stay where they are.
  bool learn = f.slot != kNoSlot && n <= ShapeCache::kMaxKeys && ShouldLearn(f.slot);
  if (f.sorted) {
    if (!learn) return n;
    keys_.resize(n);
    for (size_t i = 0; i < n; ++i) DecodeKey(buf_ + entries[i], &keys_[i]);
    shapes().Learn(f.slot, keys_.data(), n, nullptr);
    return n;
  }
  size_t kept = SortMembers(f.start + kContainerHeader, entries, n);
  if (kept != n || !learn) return kept;  // repeated keys: no shape to learn
  keys_.resize(n);
  order_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    keys_[spans_[i].arrival] = spans_[i].key;
    order_[i] = spans_[i].arrival;
  }
  shapes().Learn(f.slot, keys_.data(), n, order_.data());
  return n;
}

size_t Builder::SortMembers(size_t body, size_t* entries, size_t n) {
  SortSpans(entries, n);
  for (size_t i = 1; i < n; ++i) {
    if (spans_[i - 1].key == spans_[i].key) return DropRepeatedKeys(body, entries, n);
  }
  for (size_t i = 0; i < n; ++i) entries[i] = spans_[i].begin;
  return n;
}

bool Builder::ShouldLearn(uint32_t slot) {
  // The first object in a slot only marks it: objects that come once (a
  // query, the only one of its kind in a document) cost no learning and
  // no cache at all.
  uint64_t bit = uint64_t{1} << slot;
  bool again = (seen_slots_ & bit) != 0;
  seen_slots_ |= bit;
  if (!again) return false;
  // An open object may still be following the slot's records.
  for (const Frame& open : frames_) {
    if (open.object && open.slot == slot && open.next_key != nullptr) return false;
  }
  return true;
}

void Builder::SortSpans(const size_t* entries, size_t n) {
  spans_.clear();
  for (size_t i = 0; i < n; ++i) {
    Span s;
    s.begin = entries[i];
    s.end = i + 1 < n ? entries[i + 1] : size_;
    s.arrival = static_cast<uint32_t>(i);
    DecodeKey(buf_ + s.begin, &s.key);
    spans_.push_back(s);
  }
  auto less = [](const Span& a, const Span& b) { return CompareKeys(a.key, b.key) < 0; };
  if (n > 32) {  // insertion sort's quadratic cost would start to tell
    std::stable_sort(spans_.begin(), spans_.end(), less);
    return;
  }
  // Insertion sort: stable, and quickest for the few members of a typical
  // document.
  for (size_t i = 1; i < n; ++i) {
    Span s = spans_[i];
    size_t j = i;
    while (j > 0 && less(s, spans_[j - 1])) {
      spans_[j] = spans_[j - 1];
      --j;
    }
    spans_[j] = s;
  }
}

size_t Builder::DropRepeatedKeys(size_t body, size_t* entries, size_t n) {
  // Keep the last member of each run of equal keys (the stable sort left it
  // last) and rewrite the members without the others, so no dead bytes stay
  // behind. What to drop is decided before the keys' bytes are overwritten.
  for (size_t i = 0; i + 1 < n; ++i) {
    if (spans_[i].key == spans_[i + 1].key) spans_[i].end = spans_[i].begin;
  }
  copy_.assign(buf_ + body, buf_ + size_);
  const uint8_t* base = copy_.data() - body;  // base[x] == old buf_[x]
  size_ = body;
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t len = spans_[i].end - spans_[i].begin;
    if (len == 0) continue;  // dropped: every member has at least a key length byte
    entries[kept++] = size_;
    std::memcpy(buf_ + size_, base + spans_[i].begin, len);
    size_ += len;
  }
  return kept;
}

Value Builder::Finish() {
  assert(ok_ && frames_.empty() && size_ != 0);
  Value v = Value::CopyOf(buf_, size_);
  Reset();
  return v;
}

Value Builder::Finish(BlobArena& arena) {
  assert(ok_ && frames_.empty() && size_ != 0);
  Value v = arena.CopyOf(buf_, size_);
  Reset();
  return v;
}

}  // namespace moxal
