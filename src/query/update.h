// Applying the clauses of an update query to documents.
//
// An update changes a document either by editing its blob (edit.h: in
// place when nobody else holds it and the length stays, else in a new
// blob), or, planned ahead, as byte patches: overwrites of values that keep
// their length, computed without touching the document and put in place
// later by ApplyPatch, which cannot fail. Patches let a caller check that a
// whole collection can be updated before it changes any document, without
// copying the documents that are changed in place.

#ifndef MOXAL_QUERY_UPDATE_H_
#define MOXAL_QUERY_UPDATE_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "query/query.h"

namespace moxal {

// An overwrite of one value of one document by bytes of the same length.
struct Patch {
  uint32_t document;  // which document of the caller's list (PlanPatches)
  uint32_t at;        // offset of the value from the start of the document
  uint32_t size;      // its length, which the new bytes keep
  bool number;        // `word` holds a float's bits (size is kNumberSize)
  // The float's bits, or the address of the `size` new bytes: the operand
  // of a Set clause, which lives as long as its Update.
  uint64_t word;
};

// Writes the new bytes of `patch` into `doc`, the blob of the document it
// was planned for, which nobody else may hold.
inline void ApplyPatch(uint8_t* doc, const Patch& patch) noexcept {
  uint8_t* at = doc + patch.at;
  if (patch.number) {
    at[0] = tag::kFloat;
    StoreU64(at + 1, patch.word);
  } else {
    std::memcpy(at, reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(patch.word)),
                patch.size);
  }
}

// The clause list of one update query, built for one call.
class Update {
 public:
  // Parses `query` (see ParseClauses), writing two trace lines per clause
  // to `trace` (unless null) as it goes.
  static Status New(ObjectRef query, Update* out, TraceFn trace = nullptr);

  const std::vector<Clause<UpdateOperator>>& clauses() const { return clauses_; }

  // True when some clause has an empty path: applying it to any document
  // fails.
  bool HasEmptyPath() const;

  // Applies every clause in order to `*doc`, an object, each seeing what
  // the ones before it did. A clause changes only a member its path
  // reaches: one whose path meets a missing member or a non-object is
  // skipped, and so is arithmetic on a non-number field or (Add, Substract)
  // with a non-number operand. Arithmetic stores a float, or null where the
  // result is not finite. PanicException for a clause with an empty path;
  // the clauses before it stay applied. Throws std::bad_alloc when a new
  // blob cannot be had (*doc is then as some prefix of the clauses left it).
  Status Apply(Value* doc) const;

  // Plans what Apply would do to `doc` as patches, appended to *patches
  // with `document` as their document, and returns true; or returns false,
  // with *patches as it was, when that is not possible: a clause would
  // change a value's length (Delete, a Set of another length, arithmetic
  // that stores null), one would read or walk through a value an earlier
  // one overwrites, or a Set operand is an object. `doc` is not changed;
  // no clause may have an empty path. Throws std::bad_alloc.
  bool PlanPatches(ValueRef doc, uint32_t document, std::vector<Patch>* patches) const;

 private:
  std::vector<Clause<UpdateOperator>> clauses_;
  // Some Set clause places an object, into which a later clause's path
  // could go: planning patches is not tried then (see PlanPatches).
  bool sets_object_ = false;
};

}  // namespace moxal

#endif  // MOXAL_QUERY_UPDATE_H_
