#include "db/field_index.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>

#include "values/member_path.h"
#include "values/number_order.h"
#include "values/value_hash.h"

namespace moxal {

namespace {

// The tail may hold this many entries whatever the size of the main part:
// scanning it is cheaper than merging that often.
constexpr size_t kMinTail = 256;

// The most entries the tail holds before it is merged: twice the square
// root of the main part's. Every lookup reads the whole tail, and a merge
// rewrites the main part: with about as many lookups as changes (a service
// whose other processes insert while it looks documents up), the two cost
// alike at this size, where a fixed share of the main part (a sixteenth was
// 6,250 entries at 100,000 documents) made each lookup scan thousands.
size_t MostInTail(size_t main) {
  return std::max(kMinTail, 2 * static_cast<size_t>(std::sqrt(static_cast<double>(main))));
}

// Sorts the parallel arrays `keys` and `positions` by (key, position), in
// passes of 8 bits, least significant first (each pass is stable; bytes
// rather than wider digits, as a pass then writes to 256 places at once,
// which the caches follow). One read counts the digits of every pass, and a
// pass whose digit is the same in every entry is skipped, as are all of
// them when the entries are in order already (as when a numeric field grows
// with the documents, like a creation time). Throws std::bad_alloc before
// it changes anything.
template <class Key>
void SortEntries(std::vector<Key>& keys, std::vector<uint32_t>& positions) {
  constexpr int kKeyBytes = sizeof(Key);
  constexpr int kBytes = kKeyBytes + 4;  // the key's bytes above the position's
  const size_t n = keys.size();
  bool sorted = true;
  bool positions_ascending = true;
  for (size_t i = 1; i < n && (sorted || positions_ascending); ++i) {
    if (positions[i - 1] > positions[i]) positions_ascending = false;
    if (keys[i - 1] > keys[i] || (keys[i - 1] == keys[i] && positions[i - 1] > positions[i])) {
      sorted = false;
    }
  }
  if (sorted) return;
  std::vector<Key> k2(n);
  std::vector<uint32_t> p2(n);
  std::vector<uint32_t> counts(size_t{kBytes} * 256);
  // Digit d: the position's bytes first (d < 4), then the key's.
  auto digit = [&](size_t i, int d) -> uint32_t {
    return d < 4 ? (positions[i] >> (8 * d)) & 0xFF
                 : static_cast<uint32_t>((keys[i] >> (8 * (d - 4))) & 0xFF);
  };
  const int first = positions_ascending ? 4 : 0;  // in order by position already
  for (size_t i = 0; i < n; ++i) {
    for (int d = first; d < kBytes; ++d) ++counts[size_t(d) * 256 + digit(i, d)];
  }
  for (int d = first; d < kBytes; ++d) {
    uint32_t* c = &counts[size_t(d) * 256];
    if (c[digit(0, d)] == n) continue;  // one digit everywhere: nothing moves
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      uint32_t here = c[b];
      c[b] = sum;
      sum += here;
    }
    for (size_t i = 0; i < n; ++i) {
      uint32_t at = c[digit(i, d)]++;
      k2[at] = keys[i];
      p2[at] = positions[i];
    }
    keys.swap(k2);
    positions.swap(p2);
  }
}

}  // namespace

ValueRef FieldAt(ValueRef doc, const FieldPath& path, uint32_t* hints) {
  assert(!path.empty());
  if (!doc.is_object()) return ValueRef();
  ObjectRef holder = doc.as_object();
  int64_t k = FollowPath(doc.as_object(), path, hints, &holder, [](ObjectRef) {});
  return k < 0 ? ValueRef() : holder.member(static_cast<uint32_t>(k)).value;
}

uint64_t OrderKey(double d) {
  if (d == 0) d = 0;  // -0.0 sorts with 0.0
  uint64_t bits = std::bit_cast<uint64_t>(d);
  // Negative numbers: every bit flipped, so larger magnitudes sort first;
  // positive ones: the sign bit set, so they sort after every negative.
  return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

double FromOrderKey(uint64_t key) {
  uint64_t bits = (key >> 63) != 0 ? key & ~(uint64_t{1} << 63) : ~key;
  return std::bit_cast<double>(bits);
}

// --- RemovedPositions --------------------------------------------------

RemovedPositions::RemovedPositions(size_t size, const std::vector<size_t>& removed)
    : bits_((size + 63) / 64 + 1), before_(bits_.size()) {
  for (size_t p : removed) {
    assert(p < size);
    bits_[p >> 6] |= uint64_t{1} << (p & 63);
  }
  uint32_t count = 0;
  for (size_t w = 0; w < bits_.size(); ++w) {
    before_[w] = count;
    count += static_cast<uint32_t>(std::popcount(bits_[w]));
  }
}

// --- SortedPositions ---------------------------------------------------

template <class Key>
void SortedPositions<Key>::Add(Key key, uint32_t position) {
  tail_keys_.push_back(key);
  try {
    tail_positions_.push_back(position);
  } catch (...) {
    tail_keys_.pop_back();
    throw;
  }
  // Below merged_, the bit says the live entry is in the tail.
  if (position < merged_) stale_[position >> 6] |= uint64_t{1} << (position & 63);
}

template <class Key>
void SortedPositions<Key>::Remove([[maybe_unused]] Key key, uint32_t position) {
  if (position < merged_ && !Stale(position)) {
    stale_[position >> 6] |= uint64_t{1} << (position & 63);
    return;
  }
  for (size_t i = 0; i < tail_keys_.size(); ++i) {
    if (tail_positions_[i] == position) {
      assert(tail_keys_[i] == key);
      tail_keys_[i] = tail_keys_.back();
      tail_positions_[i] = tail_positions_.back();
      tail_keys_.pop_back();
      tail_positions_.pop_back();
      return;
    }
  }
  assert(false && "removing a position the index does not hold");
}

template <class Key>
void SortedPositions<Key>::Merge(uint32_t covered, bool always) {
  if (!always && tail_keys_.size() <= MostInTail(keys_.size())) return;
  std::vector<uint64_t> stale((covered + 63) / 64);
  if (keys_.empty()) {
    // Nothing to merge with (the index is being built): the tail, sorted
    // where it is, becomes the main part.
    SortEntries(tail_keys_, tail_positions_);
    keys_.swap(tail_keys_);
    positions_.swap(tail_positions_);
  } else {
    MergeInto();
  }
  // Nothing below can fail.
  stale_.swap(stale);
  merged_ = covered;
  tail_keys_.clear();
  tail_positions_.clear();
  if (tail_keys_.capacity() > 4 * kMinTail) {
    // A large catch-up left a large tail behind: not kept for nothing.
    std::vector<Key>().swap(tail_keys_);
    std::vector<uint32_t>().swap(tail_positions_);
  }
}

template <class Key>
void SortedPositions<Key>::MergeInto() {
  std::vector<Key> tail_keys = tail_keys_;
  std::vector<uint32_t> tail_positions = tail_positions_;
  SortEntries(tail_keys, tail_positions);
  std::vector<Key> keys;
  std::vector<uint32_t> positions;
  keys.reserve(keys_.size() + tail_keys.size());
  positions.reserve(keys_.size() + tail_keys.size());
  size_t i = 0;
  size_t j = 0;
  auto take_main = [&] {
    uint32_t p = positions_[i];
    if (p >= merged_ || !Stale(p)) {
      keys.push_back(keys_[i]);
      positions.push_back(p);
    }
    ++i;
  };
  auto take_tail = [&] {
    keys.push_back(tail_keys[j]);
    positions.push_back(tail_positions[j]);
    ++j;
  };
  while (i < keys_.size() && j < tail_keys.size()) {
    bool main_first =
        keys_[i] < tail_keys[j] || (keys_[i] == tail_keys[j] && positions_[i] < tail_positions[j]);
    main_first ? take_main() : take_tail();
  }
  while (i < keys_.size()) take_main();
  while (j < tail_keys.size()) take_tail();
  keys_.swap(keys);
  positions_.swap(positions);
}

template <class Key>
void SortedPositions<Key>::Renumber(const RemovedPositions& removed, uint32_t covered) noexcept {
  assert(tail_keys_.empty());
  // Renumbering keeps the order of positions, so the entries stay sorted.
  size_t kept = 0;
  for (size_t i = 0; i < keys_.size(); ++i) {
    uint32_t p = positions_[i];
    if (removed.Contains(p)) continue;
    keys_[kept] = keys_[i];
    positions_[kept] = p - removed.Below(p);
    ++kept;
  }
  keys_.resize(kept);
  positions_.resize(kept);
  merged_ = covered;  // the stale bits, all clear after the merge, stay so
}

template <class Key>
size_t SortedPositions<Key>::LowerBound(Key key) const {
  return static_cast<size_t>(std::lower_bound(keys_.begin(), keys_.end(), key) - keys_.begin());
}

template <class Key>
size_t SortedPositions<Key>::UpperBound(Key key) const {
  return static_cast<size_t>(std::upper_bound(keys_.begin(), keys_.end(), key) - keys_.begin());
}

template <class Key>
size_t SortedPositions<Key>::MemoryBytes() const {
  return keys_.capacity() * sizeof(Key) + positions_.capacity() * 4 + stale_.capacity() * 8 +
         tail_keys_.capacity() * sizeof(Key) + tail_positions_.capacity() * 4;
}

template class SortedPositions<uint32_t>;
template class SortedPositions<uint64_t>;

// --- EqualityIndex -------------------------------------------------------

namespace {

uint32_t HashKey(ValueRef v) { return static_cast<uint32_t>(HashValue(v) >> 32); }

}  // namespace

EqualityIndex::EqualityIndex(FieldPath path) : path_(std::move(path)), hints_(path_.size(), 0) {}

FieldKey EqualityIndex::KeyOf(ValueRef doc) const {
  ValueRef field = FieldAt(doc, path_, hints_.data());
  if (!field) return FieldKey{};
  return FieldKey{FieldKey::kKey, HashKey(field)};
}

void EqualityIndex::CatchUp(const std::vector<Value>& docs) {
  assert(docs.size() >= covered_);
  if (docs.size() == covered_) return;
  uint32_t n = static_cast<uint32_t>(docs.size());
  entries_.ReserveTail(n - covered_);
  for (uint32_t i = covered_; i < n; ++i) {
    FieldKey k = KeyOf(docs[i].ref());
    if (k.state == FieldKey::kKey) entries_.Add(static_cast<uint32_t>(k.key), i);
  }
  covered_ = n;
  entries_.Merge(covered_, /*always=*/false);
}

EqualityIndex::Span EqualityIndex::Find(ValueRef operand) const {
  uint32_t key = HashKey(operand);
  size_t lo = entries_.LowerBound(key);
  return Span{key, lo, lo == entries_.main_size() ? lo : entries_.UpperBound(key)};
}

void EqualityIndex::Lookup(const Span& span, std::vector<uint32_t>* out) const {
  size_t first = out->size();
  entries_.VisitMain(span.lo, span.hi, [&](uint32_t p) { out->push_back(p); });
  size_t from_main = out->size();
  entries_.VisitTail([&](uint32_t k, uint32_t p) {
    if (k == span.key) out->push_back(p);
  });
  if (out->size() != from_main) std::sort(out->begin() + first, out->end());
}

void EqualityIndex::Rekey(uint32_t position, FieldKey before, FieldKey after) {
  if (position >= covered_ || before == after) return;  // CatchUp reads new ones
  if (before.state == FieldKey::kKey) entries_.Remove(static_cast<uint32_t>(before.key), position);
  if (after.state == FieldKey::kKey) entries_.Add(static_cast<uint32_t>(after.key), position);
  entries_.Merge(covered_, /*always=*/false);
}

void EqualityIndex::Remove(const RemovedPositions& removed) {
  entries_.Merge(covered_, /*always=*/true);
  covered_ -= removed.Below(covered_);
  entries_.Renumber(removed, covered_);
}

// --- OrderIndex ----------------------------------------------------------

OrderIndex::OrderIndex(FieldPath path) : path_(std::move(path)), hints_(path_.size(), 0) {}

FieldKey OrderIndex::KeyOf(ValueRef doc) const {
  ValueRef field = FieldAt(doc, path_, hints_.data());
  if (!field) return FieldKey{};
  if (!field.is_number()) return FieldKey{FieldKey::kOther, 0};
  return FieldKey{FieldKey::kKey, OrderKey(FloorDouble(field))};
}

void OrderIndex::CatchUp(const std::vector<Value>& docs) {
  assert(docs.size() >= covered_);
  if (docs.size() == covered_) return;
  uint32_t n = static_cast<uint32_t>(docs.size());
  entries_.ReserveTail(n - covered_);
  for (uint32_t i = covered_; i < n; ++i) {
    FieldKey k = KeyOf(docs[i].ref());
    switch (k.state) {
      case FieldKey::kKey:
        entries_.Add(k.key, i);
        ++numbers_;
        break;
      case FieldKey::kOther:
        ++non_numbers_;
        break;
      case FieldKey::kAbsent:
        break;
    }
  }
  covered_ = n;
  entries_.Merge(covered_, /*always=*/false);
}

void OrderIndex::Narrow(Bound bound, ValueRef operand, KeyRange* range) {
  bool exact;
  double floor = FloorDouble(operand, &exact);
  uint64_t key = OrderKey(floor);
  // Numbers below `floor` have smaller keys; numbers from `floor` up to
  // the next double have its key. Below 2^53 those are `floor` alone.
  // (Keys of finite doubles are neither 0 nor the largest, so key - 1 and
  // key + 1 are keys.)
  bool alone = std::fabs(floor) < 0x1p53;
  switch (bound) {
    case Bound::kGreater:
      range->lo = std::max(range->lo, alone ? key + 1 : key);
      break;
    case Bound::kGreaterEqual:
      range->lo = std::max(range->lo, key);
      break;
    case Bound::kLess:
      range->hi = std::min(range->hi, exact ? key - 1 : key);
      break;
    case Bound::kLessEqual:
      range->hi = std::min(range->hi, key);
      break;
  }
}

void OrderIndex::Span(const KeyRange& range, size_t* lo, size_t* hi) const {
  if (range.empty()) {
    *lo = *hi = 0;
    return;
  }
  *lo = entries_.LowerBound(range.lo);
  *hi = range.hi == UINT64_MAX ? entries_.main_size() : entries_.UpperBound(range.hi);
  *hi = std::max(*lo, *hi);
}

void OrderIndex::Lookup(const KeyRange& range, std::vector<uint32_t>* out) const {
  size_t lo;
  size_t hi;
  Span(range, &lo, &hi);
  entries_.VisitMain(lo, hi, [&](uint32_t p) { out->push_back(p); });
  entries_.VisitTail([&](uint64_t k, uint32_t p) {
    if (range.lo <= k && k <= range.hi) out->push_back(p);
  });
}

size_t OrderIndex::Estimate(const KeyRange& range) const {
  size_t lo;
  size_t hi;
  Span(range, &lo, &hi);
  return hi - lo + entries_.tail_size();
}

void OrderIndex::Rekey(uint32_t position, FieldKey before, FieldKey after) {
  if (position >= covered_ || before == after) return;
  if (before.state == FieldKey::kOther) --non_numbers_;
  if (after.state == FieldKey::kOther) ++non_numbers_;
  if (before.state == FieldKey::kKey) --numbers_;
  if (after.state == FieldKey::kKey) ++numbers_;
  if (before.state == FieldKey::kKey) entries_.Remove(before.key, position);
  if (after.state == FieldKey::kKey) entries_.Add(after.key, position);
  entries_.Merge(covered_, /*always=*/false);
}

void OrderIndex::Remove(const std::vector<Value>& docs, const RemovedPositions& removed) {
  entries_.Merge(covered_, /*always=*/true);
  for (uint32_t p = 0; p < covered_; ++p) {
    if (!removed.Contains(p)) continue;
    FieldKey::State state = KeyOf(docs[p].ref()).state;
    if (state == FieldKey::kOther) --non_numbers_;
    if (state == FieldKey::kKey) --numbers_;
  }
  covered_ -= removed.Below(covered_);
  entries_.Renumber(removed, covered_);
}

}  // namespace moxal
