// The indexes of one collection, chosen by the queries it sees.
//
// Nobody declares an index. A find that misses the result cache (or an
// update's filter) asks Select for the matching documents; Select answers
// through an index when one can prove the answer a scan would give, and
// builds one when the queries of the collection have shown they want it:
//
//  - When: a build is weighed against its uses, as renting against buying.
//    A cold query that scans pays a scan's worth of rent to each path it
//    could have used an index on; a path builds its index once its rent
//    reaches its bar, a scan's worth at first, so the second cold query on
//    a path builds it (the first might be a one-off). The build is part of
//    that query, and costs about one more pass over the documents than a
//    scan plus a sort (radix, in passes of 8 bits). One query builds one
//    index at most, and only when no index it has answers for it: a clause
//    that loses the plan builds nothing, and pays no rent. An index that
//    is dropped or evicted starts paying rent afresh, so it is not rebuilt
//    at once; one that did not pay for its build (answered for less than
//    half a scan's worth of reading after it) doubles its path's bar, so
//    that a pattern that keeps dropping indexes (updates of many documents
//    between lookups) soon stops building them. Collections of fewer than
//    kMinDocuments documents are never indexed: scanning them costs about
//    what one lookup does.
//  - Which clause: an Equal clause (any operand) or an ordering clause with
//    a numeric operand; the ordering clauses on one path (the bounds of a
//    window, {'t': {'$gte': a, '$lt': b}}) answer together, as one range of
//    the order index. A clause answers for the query only when no clause
//    before it can fail on a document it rules out: Equal and NotEqual
//    never fail, an ordering clause never fails where its path holds only
//    numbers (the order index counts the documents where it does not). Of
//    the clauses that may answer, the one that selects fewest documents
//    does; the others and itself are then checked on those documents, in
//    collection order, exactly as a scan checks them, so every answer,
//    error and its message are what a scan would give.
//  - Not at all: when the collection holds a document that is not an
//    object (a scan fails on it), when a clause has an empty path, or when
//    the candidates are more than a quarter of the collection (reading
//    them out of order costs more than a scan).
//  - Bounded: at most kMaxIndexes per collection. When they are all kept,
//    a path takes the place of the coolest one (the one queries asked
//    about least lately, the least recently used of equals) only when it
//    is asked about clearly more often: between equals, as in lookups
//    cycling over more paths than there are indexes, replacing one by
//    another would rebuild each in turn and use none, slower than
//    scanning; instead the indexes stay and the other paths scan. How
//    often a path is asked about decays by half every kHeatHalfLife
//    queries, so a new working set of paths takes over from an old one.
//    An equality index costs 8 bytes per document holding the path, an
//    order index 12, plus a bit per document and a tail of recent changes
//    (field_index.h).
//  - Kept true: appended documents are taken in lazily, at the next use;
//    a changed document is passed to the indexes its change may concern
//    (KeysOf, Rekey), and removed ones to every index (Remove); an index
//    that cannot follow (memory ran out) is dropped. Anything else that
//    changes the documents calls Truncated or Clear.

#ifndef MOXAL_DB_INDEX_SET_H_
#define MOXAL_DB_INDEX_SET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "db/field_index.h"
#include "query/filter.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

class IndexSet {
 public:
  // Below this many documents a scan is about as fast as an index lookup.
  static constexpr size_t kMinDocuments = 256;
  // Enough for the few fields a program looks documents up by; each costs
  // memory in proportion to the collection.
  static constexpr size_t kMaxIndexes = 8;
  // Queries after which how often each path was asked about is halved.
  static constexpr uint64_t kHeatHalfLife = 256;

  // Whether indexes are used and built at all: a switch for the tests that
  // compare answers with indexes against answers without them.
  static void EnableForTesting(bool enabled);

  // When an index can answer for `filter` over `docs` (see above), puts the
  // positions of the candidate documents in *candidates, ascending, and
  // returns true: checking the filter on them in that order gives the
  // matches, and the error, a scan of every document would give. False
  // when the documents must be scanned. May build an index; never fails
  // (an index that memory cannot be found for is simply not used).
  bool Plan(const std::vector<Value>& docs, const Filter& filter,
            std::vector<uint32_t>* candidates) noexcept;

  // The order index on `path`, caught up with `docs`, when it holds every
  // value at the path in sort order: indexes are on, the collection is
  // large enough (as for Plan) and holds only objects, and no document
  // holds anything but a number at the path (then the index lists every
  // document but those holding nothing there, OrderIndex::absent()). Null
  // otherwise. Asking counts as a query's use of the path, so the second
  // ask builds the index. Never fails.
  const OrderIndex* SortOrder(const std::vector<Value>& docs, const FieldPath& path) noexcept;

  // A set of indexes, a bit each.
  using Mask = uint32_t;
  static_assert(kMaxIndexes <= 32);
  // The indexes whose values a change of the members at `paths` may change:
  // those whose path lies inside one of them, or holds one of them.
  Mask AffectedBy(const std::vector<const FieldPath*>& paths) const noexcept;
  // Drops the indexes of `mask`: cheaper than following a change of many
  // documents, as an index is built again, when next wanted, in about the
  // time of a scan.
  void Drop(Mask mask) noexcept;

  // What the indexes hold for one document, taken before it changes.
  struct Keys {
    FieldKey key[kMaxIndexes];
  };
  // Takes what the indexes of `mask` hold for `doc`.
  void KeysOf(ValueRef doc, Mask mask, Keys* out) const noexcept;
  // The document at `position` changed (it held `before`) to `doc`: the
  // indexes of `mask` follow. An index that cannot follow, for want of
  // memory, is dropped.
  void Rekey(size_t position, const Keys& before, ValueRef doc, Mask mask) noexcept;

  // The documents past the first `size` were taken back (an insert that
  // failed).
  void Truncated(size_t size) noexcept;

  // The documents of `docs` at `positions` (ascending, distinct) are about
  // to be removed, the others to close up in order: the indexes renumber
  // theirs (or are dropped, when that costs less or memory runs out).
  void Remove(const std::vector<Value>& docs, const std::vector<size_t>& positions) noexcept;

  // Drops every index and what the queries taught (the documents were
  // replaced or removed).
  void Clear() noexcept;

  size_t index_count() const;
  size_t MemoryBytes() const;
  // Indexes built so far, for the tests of when indexes are built.
  uint64_t builds() const { return builds_; }

 private:
  // A path the queries asked about that has no index: what it paid
  // without one, and how often it is asked about.
  struct Use {
    bool order;
    FieldPath path;
    uint64_t rent = 0;  // documents its queries scanned since it last lost an index
    uint32_t bar = 1;   // scans' worth of rent before a build
    uint32_t heat = 0;  // queries that asked about it, halved now and then
    uint64_t last = 0;  // when it was last asked about
  };
  // An index, or none where one was dropped (removed by Sweep, so that
  // Keys stay in step within a change).
  struct Slot {
    std::unique_ptr<EqualityIndex> equality;
    std::unique_ptr<OrderIndex> order;
    uint64_t last_used = 0;
    uint32_t bar = 1;
    uint32_t heat = 0;
    uint64_t built_at = 0;    // the query that built it
    uint64_t built_size = 0;  // the documents then
    uint64_t saved = 0;       // documents not read by the queries it answered since
    bool empty() const { return equality == nullptr && order == nullptr; }
    uint32_t covered() const;
    const FieldPath& path() const { return equality != nullptr ? equality->path() : order->path(); }
  };

  // The index of the kind `order` says on `path`, caught up with `docs`;
  // else null, the path noted as wanted by the query at hand. Throws
  // std::bad_alloc.
  Slot* Prepare(bool order, const FieldPath& path, const std::vector<Value>& docs);
  bool PlanOrThrow(const std::vector<Value>& docs, const Filter& filter,
                   std::vector<uint32_t>* candidates);
  // The order index on `path`, if there is one (asked for nothing).
  const Slot* FindOrder(const FieldPath& path) const;
  // Counts a query (clock_), halving every heat now and then.
  void Tick() noexcept;
  // The paths the query at hand wanted an index on pay a scan of `docs`.
  void PayRent(size_t docs) noexcept;
  void NoteWanted(bool order, const FieldPath& path);
  // Builds the index of a path the query at hand wanted, if one has paid
  // enough rent and there is room for it; true when it did. Throws
  // std::bad_alloc.
  bool BuildWanted(const std::vector<Value>& docs);
  // Drops the coolest index the query at hand does not use when
  // kMaxIndexes are kept, if a path of `heat` should take its place; false
  // when there is no room.
  bool MakeRoom(uint32_t heat);
  // Drops the index of `slot`, remembering its path's heat and bar (as far
  // as memory allows).
  void Retire(Slot* slot) noexcept;
  // Records the documents an answer of the index `answered` (one of the
  // slots') spared a scan.
  void Credit(const void* answered, size_t docs, size_t candidates) noexcept;
  void Sweep() noexcept;
  bool HasNonObjects(const std::vector<Value>& docs);

  std::vector<Slot> slots_;  // at most kMaxIndexes
  std::vector<Use> uses_;
  uint64_t clock_ = 0;     // queries planned so far
  uint64_t built_at_ = 0;  // the query that built the last index
  uint64_t builds_ = 0;
  size_t objects_checked_ = 0;  // documents checked for kind so far
  bool non_objects_ = false;    // one of those is not an object
};

}  // namespace moxal

#endif  // MOXAL_DB_INDEX_SET_H_
