#include "db/index_set.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <new>

#include "db/select.h"

#ifndef MOXAL_INDEXES_ENABLED
#define MOXAL_INDEXES_ENABLED 1
#endif

namespace moxal {

namespace {

std::atomic<bool> g_enabled{MOXAL_INDEXES_ENABLED != 0};

// Paths the queries asked about that have no index yet are remembered up to
// this many per collection, the least recently asked forgotten first.
constexpr size_t kMaxUses = 32;

// Cold queries on a path before it gets an index.
constexpr uint32_t kUsesBeforeBuilding = 2;

OrderIndex::Bound BoundOf(QueryOperator op) {
  switch (op) {
    case QueryOperator::GreaterThan: return OrderIndex::Bound::kGreater;
    case QueryOperator::GreaterThanEqual: return OrderIndex::Bound::kGreaterEqual;
    case QueryOperator::LessThan: return OrderIndex::Bound::kLess;
    case QueryOperator::LessThanEqual: return OrderIndex::Bound::kLessEqual;
    case QueryOperator::Equal:
    case QueryOperator::NotEqual:
      break;
  }
  assert(false && "not an ordering operator");
  return OrderIndex::Bound::kGreater;
}

// Sorts candidate positions into collection order: a bitmap over the
// collection when they are many, else a sort.
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

bool IndexSet::HasNonObjects(const std::vector<Value>& docs) {
  for (size_t i = objects_checked_; i < docs.size() && !non_objects_; ++i) {
    non_objects_ = !docs[i].ref().is_object();
  }
  objects_checked_ = static_cast<uint32_t>(docs.size());
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

void IndexSet::MakeRoom() {
  if (index_count() < kMaxIndexes) return;
  auto oldest = [](auto& slots) {
    return std::min_element(slots.begin(), slots.end(),
                            [](const auto& a, const auto& b) { return a.last_used < b.last_used; });
  };
  auto e = oldest(equality_);
  auto o = oldest(order_);
  bool drop_order = e == equality_.end() || (o != order_.end() && o->last_used < e->last_used);
  if (drop_order) {
    order_.erase(o);
  } else {
    equality_.erase(e);
  }
}

template <class Index>
Index* IndexSet::Prepare(std::vector<Slot<Index>>& slots, bool order, const FieldPath& path,
                         const std::vector<Value>& docs) {
  auto it = std::find_if(slots.begin(), slots.end(),
                         [&](const Slot<Index>& s) { return s.index->path() == path; });
  try {
    if (it == slots.end()) {
      if (!CountUse(order, path)) return nullptr;
      MakeRoom();
      slots.push_back(Slot<Index>{std::make_unique<Index>(path), 0});
      it = slots.end() - 1;
    }
    it->last_used = clock_;
    it->index->CatchUp(docs);
    return it->index.get();
  } catch (const std::bad_alloc&) {
    // An index is only ever a shortcut: without memory for it, scan.
    if (it != slots.end()) slots.erase(it);
    return nullptr;
  }
}

Status IndexSet::Select(const std::vector<Value>& docs, const QueryEngine<QueryOperator>& filter,
                        std::vector<size_t>* selected) {
  const auto& clauses = filter.clauses();
  bool usable = g_enabled.load(std::memory_order_relaxed) && !clauses.empty() &&
                docs.size() >= kMinDocuments && docs.size() < UINT32_MAX;
  for (const auto& c : clauses) usable = usable && !c.fields.empty();
  if (!usable || HasNonObjects(docs)) return SelectDocuments(docs, &filter, selected);
  ++clock_;

  // The clause that selects fewest, among those that may answer.
  EqualityIndex* by_equality = nullptr;
  OrderIndex* by_order = nullptr;
  const Clause<QueryOperator>* best = nullptr;
  size_t best_estimate = docs.size() / 4 + 1;
  for (const auto& c : clauses) {
    ValueRef operand = c.value.ref();
    if (c.operator_ == QueryOperator::NotEqual) continue;
    if (c.operator_ == QueryOperator::Equal) {
      EqualityIndex* index = Prepare(equality_, false, c.fields, docs);
      if (index != nullptr && index->Estimate(operand) < best_estimate) {
        best_estimate = index->Estimate(operand);
        best = &c;
        by_equality = index;
        by_order = nullptr;
      }
      continue;
    }
    if (!operand.is_number()) break;  // fails on the first document holding the path
    OrderIndex* index = Prepare(order_, true, c.fields, docs);
    if (index == nullptr || index->non_numbers() != 0) break;  // may fail: scan
    size_t estimate = index->Estimate(BoundOf(c.operator_), operand.to_double());
    if (estimate < best_estimate) {
      best_estimate = estimate;
      best = &c;
      by_order = index;
      by_equality = nullptr;
    }
  }
  if (best == nullptr) return SelectDocuments(docs, &filter, selected);

  std::vector<uint32_t> candidates;
  if (by_equality != nullptr) {
    by_equality->Lookup(best->value.ref(), &candidates);
  } else {
    by_order->Lookup(BoundOf(best->operator_), best->value.ref().to_double(), &candidates);
    SortPositions(docs.size(), &candidates);
  }
  for (uint32_t p : candidates) {
    bool matched;
    if (Status s = filter.execute(docs[p].ref().as_object(), &matched); !s.ok()) return s;
    if (matched) selected->push_back(p);
  }
  return Status();
}

void IndexSet::OnReplace(size_t position, ValueRef before, ValueRef after) noexcept {
  auto replace = [&](auto& slots) {
    for (size_t i = 0; i < slots.size();) {
      try {
        slots[i].index->Replace(static_cast<uint32_t>(position), before, after);
        ++i;
      } catch (const std::bad_alloc&) {
        slots.erase(slots.begin() + static_cast<ptrdiff_t>(i));  // cannot follow: dropped
      }
    }
  };
  replace(equality_);
  replace(order_);
}

void IndexSet::Clear() noexcept {
  equality_.clear();
  order_.clear();
  uses_.clear();
  objects_checked_ = 0;
  non_objects_ = false;
}

size_t IndexSet::MemoryBytes() const {
  size_t total = 0;
  for (const auto& s : equality_) total += s.index->MemoryBytes();
  for (const auto& s : order_) total += s.index->MemoryBytes();
  return total;
}

}  // namespace moxal
