// Committing a prepared change: one sequence for every kind of change.
//
//   1. Reserve: check that the change's collection is still as prepared,
//      and take the steps outside memory that can fail (make a new
//      collection's file, set a dropped one's file aside), and room for
//      what the change adds;
//   2. with a journal, append the change's record under the turn the
//      preparation took (and sync it, for a change that made or moved
//      files, or let the call wait for the sync after it lets go of the
//      database, at the level that syncs every change);
//   3. Apply: the change in memory, which cannot fail; then the turn ends,
//      committing the record for every object.
// A failure in step 1 or 2, running out of memory included, undoes what
// step 1 did: the call changes nothing.

#include <cassert>

#include "db/database.h"
#include "db/journal_record.h"
#include "db/journal_state.h"

namespace moxal {

template <class Change>
Status Database::Commit(Change* change) {
  // Whatever fails from here on, running out of memory included (even in
  // the middle of Reserve), takes back what Reserve did.
  struct UndoUnlessDone {
    Database* db;
    Change* change;
    bool done = false;
    ~UndoUnlessDone() {
      if (!done) db->Undo(change);
    }
  } undo{this, change};
  if (Status s = Reserve(change); !s.ok()) return s;
  uint64_t changed_at = 0;
  if (journal_ != nullptr) {
    JournalFile::Turn* turn = &change->turn;
    assert(turn->held());
    RecordBuilder& record = journal_->record;
    record.Clear();
    uint64_t weight = 0;
    if (Record(*change, &record, &weight)) {
      uint64_t position, end;
      if (Status s = AppendRecord(turn, record, weight, &position, &end); !s.ok()) return s;
      // Prepared on the state every record before it left.
      assert(position == journal_->applied);
      if (SyncsFirst(*change)) {
        // Going back to the state on disk after a failed sync would not
        // undo what this change did to files: it is synced first.
        if (Status s = journal_->file->SyncTurn(turn); !s.ok()) return s;
      } else if (durability_ == Durability::kAlways) {
        change->durable_at = end;
        change->durable_epoch = journal_->epoch;
      }
      changed_at = position + 1;
      journal_->applied = journal_->own_end = end;
    }
    record.Clear();  // lets go of what it kept for the record
  }
  undo.done = true;
  Apply(change, changed_at);
  if (journal_ != nullptr) {
    // The record is committed, and the others see it, once the change is
    // in memory and its files are in place.
    journal_->file->Publish(&change->turn);
    change->turn.End();
    StartFoldIfDue();
  }
  return change->failure;
}

Status Database::commit(PreparedInsert* change) { return Commit(change); }
Status Database::commit(PreparedLoad* change) { return Commit(change); }
Status Database::commit(PreparedUpdate* change) { return Commit(change); }
Status Database::commit(PreparedRemove* change) { return Commit(change); }
Status Database::commit(PreparedCreate* change) { return Commit(change); }
Status Database::commit(PreparedDrop* change) { return Commit(change); }

Status Database::Stale(const CollectionPtr& collection, std::string_view name,
                       uint64_t stamp) const {
  if (FindInMemory(name) == collection && (collection == nullptr || collection->stamp == stamp)) {
    return Status();
  }
  return Status::Internal("The collection '" + std::string(name) +
                          "' changed between the preparation and the commit of a change");
}

}  // namespace moxal
