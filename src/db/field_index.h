// Indexes of one field path of a collection's documents.
//
// An index maps the value each document holds at a field path to the
// positions of those documents. Two kinds:
//  - by equality: keyed by a hash of the value (value_hash.h), so a lookup
//    finds every document whose value may equal the one asked for; the
//    caller compares the values, which also settles hash collisions
//    (1 and 1.0 hash apart, as they are unequal values);
//  - by order: keyed by the largest double not above the number
//    (FloorDouble, -0.0 taken as 0.0; in a 64-bit form whose integer order
//    is the doubles' order), for numbers only, so a range, one-sided or
//    with both bounds, is found by binary search; it also counts the
//    documents whose value there is present but not a number, where an
//    ordering query fails instead of not matching. Rounding down keeps the
//    exact order of the numbers (a < b gives key(a) <= key(b)); only
//    integers beyond 2^53 in magnitude can share a key with a different
//    number, so a range's keys hold every number inside it and, beyond
//    2^53, maybe some just outside it, which the caller's exact comparison
//    of the values rules out.
//
// Layout: a main part sorted by (key, position), 8 (equality) or 12 (order)
// bytes per entry, and a small unsorted tail that takes the changes since
// the last merge, so that appending and updating cost no re-sorting. A
// position whose main entry is out of date is marked in a bitset (one bit
// per document); the tail then holds its entry, if it has one. The tail is
// merged into the main part once it holds more than twice the square root
// of its size (field_index.cc says why).
//
// Documents appended to the collection are taken in lazily, by CatchUp
// before each use, so inserting costs nothing until the index is used.
// Positions are 32-bit: a collection of 2^32 documents or more is never
// indexed (see IndexSet).

#ifndef MOXAL_DB_FIELD_INDEX_H_
#define MOXAL_DB_FIELD_INDEX_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "values/value.h"

namespace moxal {

using FieldPath = std::vector<std::string>;

// The value at `path` in `doc`, or absent: `doc` is not an object, a name is
// missing, or a name before the last does not hold an object. `hints` has
// one slot per name (see ObjectRef::FindIndex).
ValueRef FieldAt(ValueRef doc, const FieldPath& path, uint32_t* hints);

// What an index holds for one document: nothing (the path reaches no
// value, or for an order index a value that is not a number) or a key.
struct FieldKey {
  enum State : uint8_t { kAbsent, kKey, kOther };
  State state = kAbsent;
  uint64_t key = 0;
  bool operator==(const FieldKey& o) const { return state == o.state && key == o.key; }
};

// Positions of documents about to be removed from a collection, and how
// the positions of the others shift: a bit per document, and per 64 of them
// the count of removed ones before.
class RemovedPositions {
 public:
  // `removed`: ascending, distinct, each below `size`. Throws std::bad_alloc.
  RemovedPositions(size_t size, const std::vector<size_t>& removed);

  bool Contains(uint32_t p) const { return (bits_[p >> 6] >> (p & 63)) & 1; }
  // How many removed positions are below `p` (at most the collection's size).
  uint32_t Below(uint32_t p) const {
    uint64_t lower = (p & 63) == 0 ? 0 : bits_[p >> 6] << (64 - (p & 63));
    return before_[p >> 6] + static_cast<uint32_t>(std::popcount(lower));
  }

 private:
  std::vector<uint64_t> bits_;
  std::vector<uint32_t> before_;
};

// Positions sorted by key, with a tail of recent changes (see above).
// Key is uint32_t (a value's hash) or uint64_t (a number, see OrderKey).
template <class Key>
class SortedPositions {
 public:
  // Adds the entry of a position that has none (the tail takes it).
  // Throws std::bad_alloc.
  void Add(Key key, uint32_t position);
  // Removes the live entry of `position`, whose key is `key`.
  void Remove(Key key, uint32_t position);

  // Makes room in the tail for `more` entries (growing it by half at
  // least, so that many small catch-ups cost no more than one large).
  // Throws std::bad_alloc.
  void ReserveTail(size_t more) {
    size_t needed = tail_keys_.size() + more;
    if (needed <= tail_keys_.capacity()) return;
    size_t room = std::max(needed, tail_keys_.capacity() * 3 / 2);
    tail_keys_.reserve(room);
    tail_positions_.reserve(room);
  }

  // Merges the tail into the main part once it holds more than its share,
  // or whatever its size with `always`; positions below `covered` are
  // those taken into account by then. Throws std::bad_alloc (and then
  // leaves everything as it was).
  void Merge(uint32_t covered, bool always);

  // Drops the entries of the positions `removed` holds and renumbers the
  // others; `covered` is the number of positions taken into account
  // afterwards. Only right after Merge(..., true): the tail is empty.
  void Renumber(const RemovedPositions& removed, uint32_t covered) noexcept;

  // The main part: entries [LowerBound(k), UpperBound(k)) have key k.
  size_t LowerBound(Key key) const;
  size_t UpperBound(Key key) const;
  size_t main_size() const { return keys_.size(); }
  // Calls visit(position) for the live main entries [lo, hi).
  template <class F>
  void VisitMain(size_t lo, size_t hi, F&& visit) const {
    for (size_t i = lo; i < hi; ++i) {
      uint32_t p = positions_[i];
      if (p >= merged_ || !Stale(p)) visit(p);
    }
  }
  // Calls visit(key, position) for every tail entry.
  template <class F>
  void VisitTail(F&& visit) const {
    for (size_t i = 0; i < tail_keys_.size(); ++i) visit(tail_keys_[i], tail_positions_[i]);
  }
  size_t tail_size() const { return tail_keys_.size(); }

  // Calls visit(key, position) for every live entry whose key lies in
  // [lo, hi], of the main part and the tail alike, by key (ascending, or
  // descending when `descending`) and, among equal keys, by ascending
  // position, until visit returns false. Throws std::bad_alloc (it sorts a
  // copy of the tail) before the first visit.
  template <class F>
  void VisitInOrder(bool descending, Key lo, Key hi, F&& visit) const;

  size_t MemoryBytes() const;

 private:
  bool Stale(uint32_t p) const { return (stale_[p >> 6] >> (p & 63)) & 1; }
  // In the sorted keys [lo, hi), the end of the run of `key` that starts
  // at `lo`, or the start of the one that ends at `hi`: found by galloping
  // from that side, so a short run costs little whatever the size of the
  // main part.
  template <class It>
  static It RunEnd(It lo, It hi, Key key);
  template <class It>
  static It RunStart(It lo, It hi, Key key);
  // Merges the sorted tail with the main part's live entries into a new
  // main part.
  void MergeInto();

  std::vector<Key> keys_;  // main part, sorted by (key, position)
  std::vector<uint32_t> positions_;
  uint32_t merged_ = 0;          // positions below this were in the last merge
  std::vector<uint64_t> stale_;  // a bit per position below merged_
  std::vector<Key> tail_keys_;   // changes since, unsorted
  std::vector<uint32_t> tail_positions_;
};

template <class Key>
template <class It>
It SortedPositions<Key>::RunEnd(It lo, It hi, Key key) {
  // *lo == key: gallop to a window that holds the run's end.
  size_t step = 1;
  while (hi - lo > static_cast<ptrdiff_t>(step) && lo[step] == key) {
    lo += step;
    step *= 2;
  }
  return std::upper_bound(lo, hi - lo > static_cast<ptrdiff_t>(step) ? lo + step : hi, key);
}

template <class Key>
template <class It>
It SortedPositions<Key>::RunStart(It lo, It hi, Key key) {
  // hi[-1] == key: gallop back to a window that holds the run's start.
  size_t step = 1;
  while (hi - lo > static_cast<ptrdiff_t>(step) && hi[-1 - static_cast<ptrdiff_t>(step)] == key) {
    hi -= step;
    step *= 2;
  }
  return std::lower_bound(hi - lo > static_cast<ptrdiff_t>(step) ? hi - 1 - step : lo, hi, key);
}

template <class Key>
template <class F>
void SortedPositions<Key>::VisitInOrder(bool descending, Key lo, Key hi, F&& visit) const {
  std::vector<std::pair<Key, uint32_t>> tail;
  for (size_t i = 0; i < tail_keys_.size(); ++i) {
    if (tail_keys_[i] >= lo && tail_keys_[i] <= hi) {
      tail.emplace_back(tail_keys_[i], tail_positions_[i]);
    }
  }
  std::sort(tail.begin(), tail.end());
  std::vector<Key> tail_keys(tail.size());
  for (size_t i = 0; i < tail.size(); ++i) tail_keys[i] = tail[i].first;
  auto mlo = std::lower_bound(keys_.begin(), keys_.end(), lo);
  auto mhi = std::upper_bound(mlo, keys_.end(), hi);
  auto tlo = tail_keys.begin();
  auto thi = tail_keys.end();
  while (mlo < mhi || tlo < thi) {
    // The next run of equal keys, in each part: [m0, m1) and [t0, t1).
    Key key;
    auto m0 = mlo;
    auto m1 = mlo;
    auto t0 = tlo;
    auto t1 = tlo;
    if (!descending) {
      key = mlo < mhi ? *mlo : *tlo;
      if (tlo < thi && *tlo < key) key = *tlo;
      m1 = mlo < mhi && *mlo == key ? RunEnd(mlo, mhi, key) : mlo;
      t1 = tlo < thi && *tlo == key ? RunEnd(tlo, thi, key) : tlo;
      mlo = m1;
      tlo = t1;
    } else {
      key = mlo < mhi ? mhi[-1] : thi[-1];
      if (tlo < thi && thi[-1] > key) key = thi[-1];
      m1 = mhi;
      m0 = mlo < mhi && mhi[-1] == key ? RunStart(mlo, mhi, key) : mhi;
      t1 = thi;
      t0 = tlo < thi && thi[-1] == key ? RunStart(tlo, thi, key) : thi;
      mhi = m0;
      thi = t0;
    }
    // Both parts' entries of the run, by position; a stale main entry's
    // live one, if any, is in the tail.
    size_t i = static_cast<size_t>(m0 - keys_.begin());
    size_t i_end = static_cast<size_t>(m1 - keys_.begin());
    size_t j = static_cast<size_t>(t0 - tail_keys.begin());
    size_t j_end = static_cast<size_t>(t1 - tail_keys.begin());
    while (i < i_end || j < j_end) {
      if (j == j_end || (i < i_end && positions_[i] < tail[j].second)) {
        uint32_t p = positions_[i++];
        if ((p >= merged_ || !Stale(p)) && !visit(key, p)) return;
      } else if (!visit(key, tail[j++].second)) {
        return;
      }
    }
  }
}

// The index of one field path by equality.
class EqualityIndex {
 public:
  explicit EqualityIndex(FieldPath path);

  const FieldPath& path() const { return path_; }
  // Documents taken into account so far (the first covered() of the list).
  uint32_t covered() const { return covered_; }

  // Takes in the documents of `docs` past covered(). Throws std::bad_alloc.
  void CatchUp(const std::vector<Value>& docs);

  // Where the entries of the values that hash like `operand` are.
  struct Span {
    uint32_t key;
    size_t lo, hi;  // the main part's entries of `key`
  };
  Span Find(ValueRef operand) const;
  // How many positions Lookup would give, about.
  size_t Estimate(const Span& span) const { return span.hi - span.lo + entries_.tail_size(); }
  // Appends to *out the positions (ascending) of the documents whose value
  // at the path hashes like the operand of `span`: a superset of those
  // equal to it. Throws std::bad_alloc.
  void Lookup(const Span& span, std::vector<uint32_t>* out) const;

  // What the index holds for `doc` (an object).
  FieldKey KeyOf(ValueRef doc) const;
  // The document at `position` changed; the index held `before` for it,
  // and its new content gives `after`. Throws std::bad_alloc, after which
  // the index may be wrong and must be dropped.
  void Rekey(uint32_t position, FieldKey before, FieldKey after);

  // The documents `removed` holds are about to leave the collection: their
  // entries go, the others are renumbered. Throws std::bad_alloc, after
  // which the index may be wrong and must be dropped.
  void Remove(const RemovedPositions& removed);

  size_t MemoryBytes() const { return entries_.MemoryBytes(); }

 private:
  FieldPath path_;
  mutable std::vector<uint32_t> hints_;
  uint32_t covered_ = 0;
  SortedPositions<uint32_t> entries_;
};

// A double as an unsigned integer in the same order (no NaN; -0.0 is 0.0).
uint64_t OrderKey(double d);
// The double whose OrderKey is `key` (0.0 for -0.0's).
double FromOrderKey(uint64_t key);

// The index of one field path by numeric order.
class OrderIndex {
 public:
  explicit OrderIndex(FieldPath path);

  const FieldPath& path() const { return path_; }
  uint32_t covered() const { return covered_; }
  // Documents whose value at the path is present but not a number: an
  // ordering clause on the path fails on them when it reaches them.
  size_t non_numbers() const { return non_numbers_; }
  // Documents that hold no value at the path.
  size_t absent() const { return covered_ - numbers_ - non_numbers_; }

  void CatchUp(const std::vector<Value>& docs);

  // Which side of the operand a range is on.
  enum class Bound { kGreater, kGreaterEqual, kLess, kLessEqual };
  // The keys from lo to hi, both included; none when lo > hi.
  struct KeyRange {
    uint64_t lo = 0;
    uint64_t hi = UINT64_MAX;
    bool empty() const { return lo > hi; }
  };
  // Narrows *range to the keys of the numbers on `bound`'s side of
  // `operand` (a number): every such number's key stays in it, and the
  // keys of other numbers leave it, but for those that share a key with a
  // number inside (beyond 2^53 in magnitude). Narrowing by each bound of a
  // window gives the window's keys; contradictory bounds leave none.
  static void Narrow(Bound bound, ValueRef operand, KeyRange* range);
  // Appends to *out the positions (in no order) of the documents whose
  // key lies in `range`.
  void Lookup(const KeyRange& range, std::vector<uint32_t>* out) const;
  // How many positions Lookup would give, about.
  size_t Estimate(const KeyRange& range) const;
  // Calls visit(key, position) for the documents holding a number at the
  // path whose OrderKey lies in [lo, hi], by that key (ascending, or
  // descending when `descending`), those with equal keys by position,
  // until visit returns false. Throws std::bad_alloc before the first
  // visit.
  template <class F>
  void VisitInOrder(bool descending, uint64_t lo, uint64_t hi, F&& visit) const {
    entries_.VisitInOrder(descending, lo, hi, visit);
  }

  FieldKey KeyOf(ValueRef doc) const;  // kOther: present, not a number
  void Rekey(uint32_t position, FieldKey before, FieldKey after);
  void Remove(const std::vector<Value>& docs, const RemovedPositions& removed);

  size_t MemoryBytes() const { return entries_.MemoryBytes(); }

 private:
  // The main part's entries [*lo, *hi) of the keys of `range`.
  void Span(const KeyRange& range, size_t* lo, size_t* hi) const;

  FieldPath path_;
  mutable std::vector<uint32_t> hints_;
  uint32_t covered_ = 0;
  size_t non_numbers_ = 0;
  size_t numbers_ = 0;
  SortedPositions<uint64_t> entries_;
};

}  // namespace moxal

#endif  // MOXAL_DB_FIELD_INDEX_H_
