// What a Database keeps of its journal, and what the first reading of the
// journal finds (db_journal.cc): shared by the files that open, commit to
// and fold the journal.

#ifndef MOXAL_DB_JOURNAL_STATE_H_
#define MOXAL_DB_JOURNAL_STATE_H_

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/fold.h"
#include "db/journal_record.h"
#include "storage/file_identity.h"
#include "storage/journal_file.h"
#include "values/blob_arena.h"

namespace moxal {

struct Database::Journal {
  std::unique_ptr<JournalFile> file;
  // ForkCount() when it was opened: a forked child opens it again.
  uint64_t forks = 0;
  bool periodic = false;
  // Memory holds the collections as the records before `applied` leave
  // them, in `epoch` (the journal's count of cuts after failed syncs).
  uint64_t applied = 0;
  uint64_t epoch = 0;
  // Past the last record this object appended (in `epoch`): a cut back
  // below it lost a change of this object's.
  uint64_t own_end = 0;
  // Memory may not hold what `applied` says (reading records failed
  // halfway): the next call reads the state on disk again.
  bool stale = false;
  // The journal's weight at which the fold bound is looked at again.
  uint64_t next_check = 0;
  std::shared_ptr<Fold> fold;  // running or ended, not yet finished
  // Files set aside by drops that the journal holds (this object's, and
  // those it read), not known to be removed: removed before the journal
  // restarts, which forgets the drops.
  std::vector<std::string> asides;
  // A failed sync was reported to a call that waited for it.
  std::atomic<bool> failure_reported{false};
  // Reused by every commit (they run one at a time): a small record costs
  // no allocation.
  RecordBuilder record;
  std::vector<JournalFile::Piece> pieces;
  // Reused by every call that reads the others' records.
  std::vector<uint8_t> read_buffer;
};

struct Database::ReplayPlan {
  // Per collection: records before this position are not replayed onto it
  // (its file holds them, or a later record makes it afresh).
  std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>> skip_before;
  // The drops in the journal: the file each set aside, and its token.
  std::vector<std::pair<std::string, uint64_t>> drops;
  struct FoldNote {
    uint64_t position;
    std::string name;
    FileIdentity identity;
  };
  std::vector<FoldNote> folds;
  // Every collection a record names.
  std::unordered_set<std::string, NameHash, std::equal_to<>> names;
  void Name(std::string_view name) {
    if (names.find(name) == names.end()) names.emplace(name);
  }
  uint64_t weight = 0;

  void Skip(std::string_view name, uint64_t position) {
    auto it = skip_before.find(name);
    if (it == skip_before.end()) {
      skip_before.emplace(std::string(name), position);
    } else {
      it->second = std::max(it->second, position);
    }
  }
  bool Applies(std::string_view name, uint64_t position) const {
    auto it = skip_before.find(name);
    return it == skip_before.end() || position >= it->second;
  }
};

// What replay keeps from one record to the next.
struct Database::ReplayContext {
  // Reading records other objects appended onto live collections (not
  // opening): a fold's record notes which files hold what, a drop's which
  // file it set aside.
  bool live = false;
  BlobArena arena;  // the documents inserted, carved from large blocks
  // The update query last parsed, and its bytes.
  Update update;
  std::string update_bytes;
  bool have_update = false;
  // Reused from one record to the next.
  std::vector<size_t> positions;
  DocumentChanges changes;
  // Updates of the same query on one collection, one record after another,
  // each of other documents: gathered, and applied in one go (Flush) when
  // a record of another kind, query or collection comes, or one changes a
  // document again.
  struct Batch {
    CollectionPtr collection;
    std::vector<size_t> positions;
    std::vector<uint32_t> seen;  // per document: the batch that has it
    uint32_t id = 1;
    uint64_t last_position = 0;  // of the last record gathered
  } batch;
};

}  // namespace moxal

#endif  // MOXAL_DB_JOURNAL_STATE_H_
