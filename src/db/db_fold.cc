// The database's side of folding the journal into the files (fold.h):
// planning a fold, starting one in the background when the journal has
// grown, and finishing one that ended.

#include <cassert>
#include <system_error>

#include "db/collection_names.h"
#include "db/database.h"
#include "db/fold.h"
#include "db/journal_state.h"
#include "storage/file_identity.h"
#include "storage/fs.h"

namespace moxal {

namespace {

// The journal is folded once its records weigh more than this plus twice
// what the collection files hold: small journals are not worth a fold, and
// in proportion to the files, replaying the journal when the directory is
// opened costs about what reading the files does, however large they are.
constexpr uint64_t kMinFoldWeight = uint64_t{16} << 20;

// True when nothing, or not the version this object last read or wrote,
// is at the collection's file: a write puts the collection back there.
bool FileChangedOrMissing(const std::string& path, const Collection& c) {
  FileIdentity now;
  if (!IdentityOfPath(path, &now)) return true;
  return now.regular && (!c.file_seen.has_value() || !SameVersion(path, *c.file_seen, now));
}

}  // namespace

uint64_t Database::FoldBound() const {
  uint64_t files = 0;
  for (const auto& [name, c] : collections_) {
    if (c->file_seen.has_value()) files += static_cast<uint64_t>(c->file_seen->size);
  }
  return kMinFoldWeight + 2 * files;
}

std::shared_ptr<Fold> Database::PlanFold(const std::string_view* only, bool missing_files) {
  struct Chosen {
    const std::string* name;
    Collection* collection;
  };
  std::vector<Chosen> chosen;
  bool every_change = true;  // every collection that changed is chosen
  for (const auto& [name, c] : collections_) {
    bool wanted = c->unfolded();
    if (!wanted && missing_files)
      wanted = FileChangedOrMissing(CollectionFilePath(name_, name), *c);
    if (only != nullptr && name != *only) wanted = false;
    if (wanted) {
      chosen.push_back({&name, c.get()});
    } else if (c->unfolded()) {
      every_change = false;
    }
  }
  // Restarting forgets the drops: the files they set aside must be gone.
  bool restart = every_change && RemoveAsides();
  JournalFile& file = *journal_->file;
  uint64_t at = journal_->applied;
  if (chosen.empty() && !(restart && at > file.base())) return nullptr;
  auto fold = std::make_shared<Fold>(at, journal_->epoch, restart);
  for (const Chosen& c : chosen) {
    auto e = std::make_unique<Fold::Entry>();
    e->name = *c.name;
    e->path = CollectionFilePath(name_, *c.name);
    e->collection = FindInMemory(*c.name);
    e->docs.reserve(c.collection->docs.size());
    for (const Value& d : c.collection->docs) e->docs.push_back(d.data());
    fold->entries().push_back(std::move(e));
  }
  // Only once nothing more can fail.
  for (const Chosen& c : chosen) c.collection->Pin();
  return fold;
}

void Database::StartFoldIfDue() noexcept {
  Journal& j = *journal_;
  uint64_t weight = j.file->weight();
  if (j.fold != nullptr || weight < j.next_check) return;
  uint64_t bound = FoldBound();
  if (weight <= bound) {
    j.next_check = bound;
    return;
  }
  if (!j.file->TryLockFold()) {
    j.next_check = weight + bound / 8;  // another object folds: looked at again later
    return;
  }
  FoldLockHolder guard{j.file.get()};
  // Another object folded since this one's change, and restarted the
  // journal past it: memory lacks changes that only that fold's files
  // hold now. The next call catches up, and its commit looks again.
  if (j.applied < j.file->base()) return;
  try {
    j.fold = PlanFold(nullptr, /*missing_files=*/false);
    if (j.fold == nullptr) {
      j.next_check = weight + bound;
      return;
    }
    j.fold->HoldsFoldLock(j.file.get());
    guard.file = nullptr;
    try {
      Fold::StartInBackground(j.fold, j.file.get());
    } catch (const std::system_error&) {
      j.fold->Run(j.file.get());  // no thread to be had: folded right here
    }
  } catch (const std::bad_alloc&) {
    j.fold = nullptr;  // nothing was pinned; the next commit tries again
  }
}

Status Database::FinishFold() {
  if (journal_ == nullptr || journal_->fold == nullptr) return Status();
  std::shared_ptr<Fold> fold = std::move(journal_->fold);
  assert(fold->done());
  for (auto& e : fold->entries()) {
    Collection& c = *e->collection;
    if (e->placed) {
      // Another object's later fold, applied meanwhile, replaced the file
      // again: what it put there is what this object has seen.
      if (c.folded_to <= fold->position()) c.file_seen = e->identity;
      c.folded_to = std::max(c.folded_to, fold->position());
    }
    c.Unpin();
  }
  // The collections are let go of here, under the borrow: the fold's
  // thread may hold the last reference to the fold itself.
  fold->entries().clear();
  Status result = fold->result();
  Journal& j = *journal_;
  if (fold->restarted()) {
    j.next_check = 0;
  } else if (!result.ok()) {
    // Not tried again before the journal has grown a good deal more.
    j.next_check = j.file->weight() + FoldBound() / 2;
  }
  return result;
}

void Database::WaitForFold() const {
  if (journal_ != nullptr && journal_->fold != nullptr) journal_->fold->Wait();
}

}  // namespace moxal
