#include "db/index_set.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <new>

namespace moxal {

namespace {

std::atomic<bool> g_enabled{true};

// Paths the queries asked about that have no index are remembered up to
// this many per collection, the least recently asked forgotten first.
constexpr size_t kMaxUses = 32;

// The most scans' worth of rent a path pays before a build, after indexes
// of it that did not pay for themselves.
constexpr uint32_t kMaxBar = 64;

bool IsOrdering(QueryOperator op) {
  return op != QueryOperator::Equal && op != QueryOperator::NotEqual;
}

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

void IndexSet::Tick() noexcept {
  if (++clock_ % kHeatHalfLife == 0) {
    for (Slot& s : slots_) s.heat /= 2;
    for (Use& u : uses_) u.heat /= 2;
  }
}

void IndexSet::PayRent(size_t docs) noexcept {
  // A scan: each path the query at hand wanted an index on pays its rent.
  for (Use& u : uses_) {
    if (u.last == clock_) u.rent += docs;
  }
}

void IndexSet::NoteWanted(bool order, const FieldPath& path) {
  for (Use& u : uses_) {
    if (u.order == order && u.path == path) {
      if (u.last != clock_) ++u.heat;
      u.last = clock_;
      return;
    }
  }
  if (uses_.size() == kMaxUses) {
    auto oldest = std::min_element(uses_.begin(), uses_.end(),
                                   [](const Use& a, const Use& b) { return a.last < b.last; });
    uses_.erase(oldest);
  }
  Use u;
  u.order = order;
  u.path = path;
  u.heat = 1;
  u.last = clock_;
  uses_.push_back(std::move(u));
}

bool IndexSet::BuildWanted(const std::vector<Value>& docs) {
  if (built_at_ == clock_) return false;  // one build per query
  // Of the paths this query wanted that paid their bar, an equality one
  // first (it usually selects fewer), then the one asked about most.
  auto pick = uses_.end();
  for (auto u = uses_.begin(); u != uses_.end(); ++u) {
    if (u->last != clock_ || u->rent < uint64_t{u->bar} * docs.size()) continue;
    if (pick == uses_.end() || (pick->order && !u->order) ||
        (pick->order == u->order && u->heat > pick->heat)) {
      pick = u;
    }
  }
  if (pick == uses_.end()) return false;
  // Taken out first: making room may note the path of the index it drops.
  Use wanted = std::move(*pick);
  uses_.erase(pick);
  if (!MakeRoom(wanted.heat)) {
    uses_.push_back(std::move(wanted));  // into the room it left
    return false;
  }
  Slot slot;
  if (wanted.order) {
    slot.order = std::make_unique<OrderIndex>(std::move(wanted.path));
  } else {
    slot.equality = std::make_unique<EqualityIndex>(std::move(wanted.path));
  }
  slot.last_used = clock_;
  slot.bar = wanted.bar;
  slot.heat = wanted.heat;
  slot.built_at = clock_;
  slot.built_size = docs.size();
  slots_.push_back(std::move(slot));
  built_at_ = clock_;
  ++builds_;
  Slot& built = slots_.back();
  try {
    if (built.order != nullptr) {
      built.order->CatchUp(docs);
    } else {
      built.equality->CatchUp(docs);
    }
  } catch (...) {
    slots_.pop_back();  // half built: of no use
    throw;
  }
  return true;
}

bool IndexSet::MakeRoom(uint32_t heat) {
  Sweep();
  if (slots_.size() < kMaxIndexes) return true;
  Slot* coolest = nullptr;
  for (Slot& s : slots_) {
    if (s.last_used == clock_) continue;  // the query at hand uses it
    if (coolest == nullptr || s.heat < coolest->heat ||
        (s.heat == coolest->heat && s.last_used < coolest->last_used)) {
      coolest = &s;
    }
  }
  // A path takes the place only when asked about clearly more often: the
  // heats of paths asked about equally often differ by one, by the order
  // in which they were last asked about.
  if (coolest == nullptr || heat <= coolest->heat + 1) return false;
  Retire(coolest);
  Sweep();
  return true;
}

void IndexSet::Retire(Slot* slot) noexcept {
  if (slot->empty()) return;
  try {
    // A Use of an indexed path is dropped when the index is built.
    if (uses_.size() == kMaxUses) {
      uses_.erase(std::min_element(uses_.begin(), uses_.end(),
                                   [](const Use& a, const Use& b) { return a.last < b.last; }));
    }
    Use u;
    u.order = slot->order != nullptr;
    u.path = slot->path();
    u.bar = slot->saved >= slot->built_size / 2 ? 1 : std::min(slot->bar * 2, kMaxBar);
    u.heat = slot->heat;
    u.last = slot->last_used;
    uses_.push_back(std::move(u));
  } catch (const std::bad_alloc&) {
    // Forgotten: the path starts afresh, paying rent from nothing.
  }
  slot->equality.reset();
  slot->order.reset();
}

void IndexSet::Credit(const void* answered, size_t docs, size_t candidates) noexcept {
  for (Slot& s : slots_) {
    if (s.equality.get() != answered && s.order.get() != answered) continue;
    // What the query that built it saved only makes up for the scan
    // before; a build pays for itself through the queries after.
    if (s.built_at != clock_ && candidates < docs) s.saved += docs - candidates;
    return;
  }
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
    NoteWanted(order, path);
    return nullptr;
  }
  if (it->last_used != clock_) ++it->heat;
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
    Tick();
    if (PlanOrThrow(docs, filter, candidates)) return true;
    PayRent(docs.size());
    return false;
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
    Tick();
    const Slot* slot = Prepare(true, path, docs);
    if (slot == nullptr) {
      // Without the index the matches are sorted, after a scan: the path
      // pays its rent, and gets its index once that has paid for it.
      if (BuildWanted(docs)) {
        slot = FindOrder(path);
      } else {
        PayRent(docs.size());
      }
    }
    if (slot == nullptr || slot->order->non_numbers() != 0) return nullptr;
    return slot->order.get();
  } catch (const std::bad_alloc&) {
    return nullptr;  // without memory for the index, sort the matches
  }
}

bool IndexSet::PlanOrThrow(const std::vector<Value>& docs, const Filter& filter,
                           std::vector<uint32_t>* candidates) {
  // Of the clauses that may answer, the one that selects fewest. Stop at
  // the first clause that may fail on a document: a later one cannot
  // answer for the documents it would rule out. The ordering clauses on one
  // path answer together, by the window of keys they all allow: none of
  // them fails (each would have stopped the search), so a document outside
  // the window fails one of them before any clause can fail.
  // Only indexes that exist are looked at; when none answers, the index
  // of a path the query wanted may be built, and the plan made again.
  const auto& clauses = filter.clauses();
  bool found = false;
  const EqualityIndex* by_equality = nullptr;
  EqualityIndex::Span span{};
  const OrderIndex* by_order = nullptr;
  OrderIndex::KeyRange window;
  size_t best_estimate = docs.size() / 4 + 1;  // more: a scan reads faster
  for (size_t k = 0; k < clauses.size(); ++k) {
    const Clause<QueryOperator>& c = clauses[k];
    ValueRef operand = c.value.ref();
    if (c.operator_ == QueryOperator::NotEqual) continue;  // answers nothing, never fails
    if (c.operator_ == QueryOperator::Equal) {
      const Slot* slot = Prepare(false, c.fields, docs);
      if (slot == nullptr) continue;
      EqualityIndex::Span at = slot->equality->Find(operand);
      if (slot->equality->Estimate(at) >= best_estimate) continue;
      best_estimate = slot->equality->Estimate(at);
      found = true;
      by_equality = slot->equality.get();
      span = at;
      by_order = nullptr;
      continue;
    }
    if (!operand.is_number()) break;  // fails on every document holding the path
    // The window of this clause and the ordering clauses before it on its
    // path, whose index is prepared already (and asked for once a query).
    OrderIndex::KeyRange keys;
    bool before = false;
    for (size_t j = 0; j < k; ++j) {
      const Clause<QueryOperator>& e = clauses[j];
      if (IsOrdering(e.operator_) && e.fields == c.fields) {
        OrderIndex::Narrow(BoundOf(e.operator_), e.value.ref(), &keys);
        before = true;
      }
    }
    OrderIndex::Narrow(BoundOf(c.operator_), operand, &keys);
    const Slot* slot = before ? FindOrder(c.fields) : Prepare(true, c.fields, docs);
    if (slot == nullptr || slot->order->non_numbers() != 0) break;  // may fail
    size_t estimate = slot->order->Estimate(keys);
    if (estimate >= best_estimate) continue;
    best_estimate = estimate;
    found = true;
    by_order = slot->order.get();
    window = keys;
    by_equality = nullptr;
  }
  if (!found) {
    // No index answers: one worth building now answers, if it can.
    return BuildWanted(docs) && PlanOrThrow(docs, filter, candidates);
  }
  candidates->clear();
  if (by_equality != nullptr) {
    by_equality->Lookup(span, candidates);
  } else {
    by_order->Lookup(window, candidates);
    SortPositions(docs.size(), candidates);
  }
  Credit(by_equality != nullptr ? static_cast<const void*>(by_equality) : by_order, docs.size(),
         candidates->size());
  return true;
}

const IndexSet::Slot* IndexSet::FindOrder(const FieldPath& path) const {
  for (const Slot& s : slots_) {
    if (s.order != nullptr && s.order->path() == path) return &s;
  }
  return nullptr;
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
    if ((mask >> i) & 1) Retire(&slots_[i]);
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
    for (Slot& s : slots_) Retire(&s);
    objects_checked_ = 0;  // the one that was not an object may be gone
    non_objects_ = false;
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
        if (s.equality != nullptr) s.equality->Remove(removed);
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
