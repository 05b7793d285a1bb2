#include "db/index_set.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <new>

#ifndef MOXAL_INDEXES_ENABLED
#define MOXAL_INDEXES_ENABLED 1
#endif

namespace moxal {

namespace {

std::atomic<bool> g_enabled{MOXAL_INDEXES_ENABLED != 0};

// Paths the queries asked about that have no index yet are remembered up to
// this many per collection, the least recently asked forgotten first.
constexpr size_t kMaxUses = 32;

// Cold queries on a path before it gets an index: one might be a one-off,
// a second says the program looks documents up by that path.
constexpr uint32_t kUsesBeforeBuilding = 2;

OrderIndex::Bound BoundOf(QueryOperator op) {
  switch (op) {
    case QueryOperator::GreaterThan:
      return OrderIndex::Bound::kGreater;
    case QueryOperator::GreaterThanEqual:
      return OrderIndex::Bound::kGreaterEqual;
    case QueryOperator::LessThan:
      return OrderIndex::Bound::kLess;
    case QueryOperator::LessThanEqual:
      return OrderIndex::Bound::kLessEqual;
    case QueryOperator::Equal:
    case QueryOperator::NotEqual:
      break;
  }
  assert(false && "not an ordering operator");
  return OrderIndex::Bound::kGreater;
}

// Sorts candidate positions into collection order: through a bitmap over
// the collection when they are many, else by sorting.
void SortPositions(size_t n, std::vector<uint32_t>* positions) {
  if (positions->size() < n / 64) {
    std::sort(positions->begin(), positions->end());
    return;
  }
  std::vector<uint64_t> bits((n + 63) / 64);
  for (uint32_t p : *positions) bits[p >> 6] |= uint64_t{1} << (p & 63);
  positions->clear();
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
      positions->push_back(static_cast<uint32_t>(w * 64 + std::countr_zero(word)));
    }
  }
}

}  // namespace

void IndexSet::EnableForTesting(bool enabled) { g_enabled.store(enabled); }

uint32_t IndexSet::Slot::covered() const {
  return equality != nullptr ? equality->covered() : order != nullptr ? order->covered() : 0;
}

size_t IndexSet::index_count() const {
  return static_cast<size_t>(
      std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.empty(); }));
}

bool IndexSet::HasNonObjects(const std::vector<Value>& docs) {
  for (size_t i = objects_checked_; i < docs.size() && !non_objects_; ++i) {
    non_objects_ = !docs[i].ref().is_object();
  }
  objects_checked_ = docs.size();
  return non_objects_;
}

bool IndexSet::CountUse(bool order, const FieldPath& path) {
  for (Use& u : uses_) {
    if (u.order == order && u.path == path) {
      u.last = clock_;
      return ++u.count >= kUsesBeforeBuilding;
    }
  }
  if (uses_.size() == kMaxUses) {
    auto oldest = std::min_element(uses_.begin(), uses_.end(),
                                   [](const Use& a, const Use& b) { return a.last < b.last; });
    uses_.erase(oldest);
  }
  uses_.push_back(Use{order, path, 1, clock_});
  return kUsesBeforeBuilding <= 1;
}

bool IndexSet::MakeRoom() {
  Sweep();
  if (slots_.size() < kMaxIndexes) return true;
  auto oldest = std::min_element(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
    return a.last_used < b.last_used;
  });
  if (oldest->last_used == clock_) return false;  // the query at hand uses every one
  slots_.erase(oldest);
  return true;
}

void IndexSet::Sweep() noexcept {
  slots_.erase(
      std::remove_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.empty(); }),
      slots_.end());
}

IndexSet::Slot* IndexSet::Prepare(bool order, const FieldPath& path,
                                  const std::vector<Value>& docs) {
  auto it = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) {
    return order ? s.order != nullptr && s.order->path() == path
                 : s.equality != nullptr && s.equality->path() == path;
  });
  if (it == slots_.end()) {
    if (!CountUse(order, path) || !MakeRoom()) return nullptr;
    Slot slot;
    if (order) {
      slot.order = std::make_unique<OrderIndex>(path);
    } else {
      slot.equality = std::make_unique<EqualityIndex>(path);
    }
    slots_.push_back(std::move(slot));
    it = slots_.end() - 1;
  }
  it->last_used = clock_;
  try {
    if (order) {
      it->order->CatchUp(docs);
    } else {
      it->equality->CatchUp(docs);
    }
  } catch (...) {
    slots_.erase(it);  // half caught up: of no use
    throw;
  }
  return &*it;
}

bool IndexSet::Plan(const std::vector<Value>& docs, const Filter& filter,
                    std::vector<uint32_t>* candidates) noexcept {
  const auto& clauses = filter.clauses();
  bool usable = g_enabled.load(std::memory_order_relaxed) && !clauses.empty() &&
                docs.size() >= kMinDocuments && docs.size() < UINT32_MAX;
  for (const auto& c : clauses) usable = usable && !c.fields.empty();
  if (!usable) return false;
  try {
    if (HasNonObjects(docs)) return false;
    return PlanOrThrow(docs, filter, candidates);
  } catch (const std::bad_alloc&) {
    // An index is only ever a shortcut: without memory for it, scan.
    candidates->clear();
    return false;
  }
}

const OrderIndex* IndexSet::SortOrder(const std::vector<Value>& docs,
                                      const FieldPath& path) noexcept {
  if (!g_enabled.load(std::memory_order_relaxed) || docs.size() < kMinDocuments ||
      docs.size() >= UINT32_MAX || path.empty()) {
    return nullptr;
  }
  try {
    if (HasNonObjects(docs)) return nullptr;
    ++clock_;
    const Slot* slot = Prepare(true, path, docs);
    if (slot == nullptr || slot->order->non_numbers() != 0) return nullptr;
    return slot->order.get();
  } catch (const std::bad_alloc&) {
    return nullptr;  // without memory for the index, sort the matches
  }
}

bool IndexSet::PlanOrThrow(const std::vector<Value>& docs, const Filter& filter,
                           std::vector<uint32_t>* candidates) {
  ++clock_;
  // Of the clauses that may answer, the one that selects fewest. Stop at
  // the first clause that may fail on a document: a later one cannot
  // answer for the documents it would rule out.
  // (Indexes are owned through pointers, so they stay where they are while
  // later clauses add slots; none that this query uses is dropped.)
  const Clause<QueryOperator>* best = nullptr;
  const EqualityIndex* by_equality = nullptr;
  EqualityIndex::Span span{};
  const OrderIndex* by_order = nullptr;
  size_t best_estimate = docs.size() / 4 + 1;  // more: a scan reads faster
  for (const auto& c : filter.clauses()) {
    ValueRef operand = c.value.ref();
    if (c.operator_ == QueryOperator::NotEqual) continue;  // answers nothing, never fails
    if (c.operator_ == QueryOperator::Equal) {
      const Slot* slot = Prepare(false, c.fields, docs);
      if (slot == nullptr) continue;
      EqualityIndex::Span found = slot->equality->Find(operand);
      if (slot->equality->Estimate(found) >= best_estimate) continue;
      best_estimate = slot->equality->Estimate(found);
      best = &c;
      by_equality = slot->equality.get();
      span = found;
      by_order = nullptr;
      continue;
    }
    if (!operand.is_number()) break;  // fails on every document holding the path
    const Slot* slot = Prepare(true, c.fields, docs);
    if (slot == nullptr || slot->order->non_numbers() != 0) break;  // may fail
    size_t estimate = slot->order->Estimate(BoundOf(c.operator_), operand.ToDouble());
    if (estimate >= best_estimate) continue;
    best_estimate = estimate;
    best = &c;
    by_order = slot->order.get();
    by_equality = nullptr;
  }
  if (best == nullptr) return false;
  candidates->clear();
  if (by_equality != nullptr) {
    by_equality->Lookup(span, candidates);
  } else {
    by_order->Lookup(BoundOf(best->operator_), best->value.ref().ToDouble(), candidates);
    SortPositions(docs.size(), candidates);
  }
  return true;
}

IndexSet::Mask IndexSet::AffectedBy(const std::vector<const FieldPath*>& paths) const noexcept {
  auto prefix = [](const FieldPath& a, const FieldPath& b) {
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
  };
  Mask mask = 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    if (s.empty()) continue;
    const FieldPath& indexed = s.equality != nullptr ? s.equality->path() : s.order->path();
    for (const FieldPath* changed : paths) {
      if (prefix(*changed, indexed) || prefix(indexed, *changed)) mask |= Mask{1} << i;
    }
  }
  return mask;
}

void IndexSet::Drop(Mask mask) noexcept {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if ((mask >> i) & 1) {
      slots_[i].equality.reset();
      slots_[i].order.reset();
    }
  }
}

void IndexSet::KeysOf(ValueRef doc, Mask mask, Keys* out) const noexcept {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (((mask >> i) & 1) == 0) continue;
    const Slot& s = slots_[i];
    out->key[i] = s.equality != nullptr ? s.equality->KeyOf(doc)
                  : s.order != nullptr  ? s.order->KeyOf(doc)
                                        : FieldKey{};
  }
}

void IndexSet::Rekey(size_t position, const Keys& before, ValueRef doc, Mask mask) noexcept {
  auto p = static_cast<uint32_t>(position);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (((mask >> i) & 1) == 0) continue;
    Slot& s = slots_[i];
    try {
      if (s.equality != nullptr) s.equality->Rekey(p, before.key[i], s.equality->KeyOf(doc));
      if (s.order != nullptr) s.order->Rekey(p, before.key[i], s.order->KeyOf(doc));
    } catch (const std::bad_alloc&) {
      // It cannot follow: dropped, its slot kept so that the keys of the
      // other indexes stay in step until the next Sweep.
      s.equality.reset();
      s.order.reset();
    }
  }
}

void IndexSet::Truncated(size_t size) noexcept {
  bool past = objects_checked_ > size;
  for (const Slot& s : slots_) past = past || s.covered() > size;
  if (past) Clear();
}

void IndexSet::Remove(const std::vector<Value>& docs,
                      const std::vector<size_t>& positions) noexcept {
  if (positions.empty()) return;
  // Removing many: building again when next wanted costs about what
  // renumbering would.
  if (positions.size() > docs.size() / 4) {
    Clear();
    return;
  }
  if (non_objects_) {
    // The one that was not an object may be among those removed: look
    // again when next asked.
    objects_checked_ = 0;
    non_objects_ = false;
  } else {
    objects_checked_ -= static_cast<size_t>(
        std::lower_bound(positions.begin(), positions.end(), objects_checked_) - positions.begin());
  }
  if (slots_.empty()) return;  // nothing to renumber, and no memory wanted for it
  try {
    RemovedPositions removed(docs.size(), positions);
    for (Slot& s : slots_) {
      try {
        if (s.equality != nullptr) s.equality->Remove(docs, removed);
        if (s.order != nullptr) s.order->Remove(docs, removed);
      } catch (const std::bad_alloc&) {
        s.equality.reset();  // cannot follow: dropped
        s.order.reset();
      }
    }
  } catch (const std::bad_alloc&) {
    Clear();
  }
}

void IndexSet::Clear() noexcept {
  slots_.clear();
  uses_.clear();
  objects_checked_ = 0;
  non_objects_ = false;
}

size_t IndexSet::MemoryBytes() const {
  size_t total = 0;
  for (const Slot& s : slots_) {
    if (s.equality != nullptr) total += s.equality->MemoryBytes();
    if (s.order != nullptr) total += s.order->MemoryBytes();
  }
  return total;
}

}  // namespace moxal
