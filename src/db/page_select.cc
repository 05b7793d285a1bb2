#include "db/page_select.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "db/select.h"
#include "values/sort_order.h"

namespace moxal {

namespace {

// Below this magnitude every number an order index keys as one double is
// that double exactly, so numbers with equal keys sort together.
constexpr double kExactBelow = 9007199254740992.0;  // 2^53

// Whether `filter` fails on no document of a collection whose values at
// `path` are all numbers: Equal and NotEqual never fail, an ordering
// clause with a numeric operand never fails on that path.
bool CannotFail(const Filter& filter, const FieldPath& path) {
  for (const auto& c : filter.clauses()) {
    if (c.fields.empty()) return false;
    switch (c.operator_) {
      case QueryOperator::Equal:
      case QueryOperator::NotEqual:
        break;
      case QueryOperator::GreaterThan:
      case QueryOperator::GreaterThanEqual:
      case QueryOperator::LessThan:
      case QueryOperator::LessThanEqual:
        if (!c.value.ref().is_number() || c.fields != path) return false;
        break;
    }
  }
  return true;
}

// Appends the page's part of `ordered` (the matches in the page's order,
// from the first) to *selected.
void Cut(const std::vector<size_t>& ordered, const Page& page, std::vector<size_t>* selected) {
  if (ordered.size() <= page.skip) return;
  size_t end = std::min(ordered.size(), page.end());
  selected->insert(selected->end(), ordered.begin() + static_cast<ptrdiff_t>(page.skip),
                   ordered.begin() + static_cast<ptrdiff_t>(end));
}

// What the clauses of `filter` (may be null) on `path` say of the documents
// it matches: the range of order keys that holds every number they may
// hold there (OrderIndex::Narrow), and whether they hold anything there at
// all (a missing field matches no clause).
struct OnPath {
  OrderIndex::KeyRange keys;
  bool present = false;
};

OnPath Bounds(const Filter* filter, const FieldPath& path) {
  OnPath on;
  if (filter == nullptr) return on;
  for (const auto& c : filter->clauses()) {
    if (c.fields != path) continue;
    on.present = true;
    ValueRef v = c.value.ref();
    if (!v.is_number()) {
      // Equal to a value that is no number: none of the numbers there.
      if (c.operator_ == QueryOperator::Equal) on.keys = {UINT64_MAX, 0};
      continue;
    }
    switch (c.operator_) {
      case QueryOperator::GreaterThan:
        OrderIndex::Narrow(OrderIndex::Bound::kGreater, v, &on.keys);
        break;
      case QueryOperator::GreaterThanEqual:
        OrderIndex::Narrow(OrderIndex::Bound::kGreaterEqual, v, &on.keys);
        break;
      case QueryOperator::LessThan:
        OrderIndex::Narrow(OrderIndex::Bound::kLess, v, &on.keys);
        break;
      case QueryOperator::LessThanEqual:
        OrderIndex::Narrow(OrderIndex::Bound::kLessEqual, v, &on.keys);
        break;
      case QueryOperator::Equal:
        OrderIndex::Narrow(OrderIndex::Bound::kGreaterEqual, v, &on.keys);
        OrderIndex::Narrow(OrderIndex::Bound::kLessEqual, v, &on.keys);
        break;
      case QueryOperator::NotEqual:
        break;
    }
  }
  return on;
}

// The matches up to the page's end, in its order, into *ordered, by a walk
// of `order`, the index of the first sort key's path (see page_select.h).
// `filter` (may be null) cannot fail.
Status WalkIndex(const std::vector<Value>& docs, const OrderIndex& order, const Filter* filter,
                 const Page& page, std::vector<size_t>* ordered, PageStats* stats) {
  const FieldPath& path = page.sort[0].fields;
  const OnPath on = Bounds(filter, path);
  const bool descending = page.sort[0].descending;
  const bool more_keys = page.sort.size() > 1;
  const size_t need = page.end();
  Status status;
  auto matches = [&](size_t p, bool* matched) {
    *matched = true;
    if (filter != nullptr) status = filter->Matches(docs[p].ref().as_object(), matched);
    return status.ok();
  };
  // Matches whose first keys tie, in collection order: put in order when
  // they may still differ (`inexact`, or later keys decide), and as many
  // appended as the page has room for.
  std::vector<size_t> run;
  auto flush = [&](bool inexact) {
    size_t room = need - ordered->size();
    if (run.size() > 1 && (more_keys || inexact)) OrderPositions(docs, page.sort, room, &run);
    ordered->insert(ordered->end(), run.begin(),
                    run.begin() + static_cast<ptrdiff_t>(std::min(room, run.size())));
    run.clear();
  };
  // The documents holding nothing at the path tie with each other.
  auto add_absent = [&] {
    if (order.absent() == 0 || on.present || ordered->size() >= need) return true;
    std::vector<uint32_t> hints(path.size(), 0);
    for (size_t p = 0; p < docs.size(); ++p) {
      if (FieldAt(docs[p].ref(), path, hints.data())) continue;
      bool matched;
      if (!matches(p, &matched)) return false;
      if (matched) run.push_back(p);
    }
    flush(false);
    return true;
  };

  if (!descending && !add_absent()) return status;
  if (ordered->size() < need) {
    uint64_t run_key = 0;
    bool inexact = false;
    order.VisitInOrder(descending, on.keys.lo, on.keys.hi, [&](uint64_t key, uint32_t p) {
      if (stats != nullptr) ++stats->visited;
      if (!run.empty() && key != run_key) {
        flush(inexact);
        if (ordered->size() >= need) return false;
      }
      bool matched;
      if (!matches(p, &matched)) return false;
      if (!matched) return true;
      if (run.empty()) {
        run_key = key;
        inexact = std::fabs(FromOrderKey(key)) >= kExactBelow;
      }
      run.push_back(p);
      if (!more_keys && !inexact && ordered->size() + run.size() >= need) {
        flush(false);  // the run's order is settled, and the page full
        return false;
      }
      return true;
    });
    if (!status.ok()) return status;
    if (!run.empty()) flush(inexact);
  }
  if (descending && !add_absent()) return status;
  return Status();
}

}  // namespace

void OrderPositions(const std::vector<Value>& docs, const std::vector<SortKey>& sort, size_t keep,
                    std::vector<size_t>* positions) {
  const size_t m = positions->size();
  const size_t nk = sort.size();
  if (m < 2 || nk == 0) {
    if (positions->size() > keep) positions->resize(keep);
    return;
  }
  // Each document's sort keys, read once.
  std::vector<ValueRef> keys(m * nk);
  for (size_t j = 0; j < nk; ++j) {
    std::vector<uint32_t> hints(sort[j].fields.size(), 0);
    for (size_t i = 0; i < m; ++i) {
      keys[i * nk + j] = FieldAt(docs[(*positions)[i]].ref(), sort[j].fields, hints.data());
    }
  }
  std::vector<size_t> order(m);
  std::iota(order.begin(), order.end(), size_t{0});
  auto before = [&](size_t a, size_t b) {
    for (size_t j = 0; j < nk; ++j) {
      int c = CompareForSort(keys[a * nk + j], keys[b * nk + j]);
      if (c != 0) return sort[j].descending ? c > 0 : c < 0;
    }
    return a < b;  // positions ascend with the indices
  };
  if (keep < m) {
    std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(keep), order.end(),
                      before);
    order.resize(keep);
  } else {
    std::sort(order.begin(), order.end(), before);
  }
  for (size_t& i : order) i = (*positions)[i];
  positions->swap(order);
}

Status SelectPage(const std::vector<Value>& docs, IndexSet* indexes, const Filter* filter,
                  const Page& page, std::vector<size_t>* selected, PageStats* stats) {
  const size_t need = page.end();
  if (page.sort.empty()) {
    if (filter == nullptr) {
      for (size_t p = page.skip; p < std::min(docs.size(), need); ++p) selected->push_back(p);
      return Status();
    }
    size_t seen = 0;
    return ForEachMatch(docs, indexes, filter, [&](size_t p) {
      if (seen++ >= page.skip) selected->push_back(p);
      return seen < need;
    });
  }

  std::vector<size_t> ordered;
  const FieldPath& path = page.sort[0].fields;
  if (indexes != nullptr && (filter == nullptr || CannotFail(*filter, path))) {
    // Clauses on the sorted path only bound the walk (Bounds): an index
    // could give no fewer documents than the walk visits, and unordered.
    bool elsewhere =
        filter != nullptr && std::any_of(filter->clauses().begin(), filter->clauses().end(),
                                         [&](const auto& c) { return c.fields != path; });
    std::vector<uint32_t> candidates;
    bool planned = elsewhere && indexes->Plan(docs, *filter, &candidates);
    const OrderIndex* order = indexes->SortOrder(docs, path);
    // A walk visits about need * n / matches entries; sorting the
    // candidates costs about as many as there are.
    double size = static_cast<double>(candidates.size());
    if (order != nullptr &&
        (!planned || size * size > static_cast<double>(need) * static_cast<double>(docs.size()))) {
      if (stats != nullptr) stats->through_index = true;
      if (Status s = WalkIndex(docs, *order, filter, page, &ordered, stats); !s.ok()) return s;
      Cut(ordered, page, selected);
      return Status();
    }
    if (planned) {
      for (uint32_t p : candidates) {
        bool matched;
        if (Status s = filter->Matches(docs[p].ref().as_object(), &matched); !s.ok()) return s;
        if (matched) ordered.push_back(p);
      }
      OrderPositions(docs, page.sort, need, &ordered);
      Cut(ordered, page, selected);
      return Status();
    }
    indexes = nullptr;  // Plan said scan: not asked twice in one find
  }
  if (filter == nullptr) {
    ordered.resize(docs.size());
    std::iota(ordered.begin(), ordered.end(), size_t{0});
  } else if (Status s = SelectDocuments(docs, indexes, filter, &ordered); !s.ok()) {
    return s;
  }
  OrderPositions(docs, page.sort, need, &ordered);
  Cut(ordered, page, selected);
  return Status();
}

}  // namespace moxal
