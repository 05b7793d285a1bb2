// Writing collections to disk.

#include "db/collection_names.h"
#include "db/database.h"
#include "db/fold.h"
#include "db/journal_state.h"
#include "storage/file_identity.h"
#include "storage/os_error.h"
#include "storage/replace_file.h"
#include "storage/test_gate.h"
#include "values/json_writer.h"

namespace moxal {

namespace {

// The collection as one compact JSON array: "[", the documents separated
// by ",", "]".
bool WriteDocuments(const std::vector<Value>& docs, OutBuffer& out) {
  out.Put('[');
  for (size_t i = 0; i < docs.size(); ++i) {
    if (i != 0) out.Put(',');
    if (!WriteJson(docs[i].ref(), out)) return false;
  }
  out.Put(']');
  return out.ok();
}

// True when a file is at `path` that is not the version `seen` of it.
// Nothing there, or no file (a directory, which no write can replace), has
// nothing to lose.
bool ChangedSince(const std::string& path, const std::optional<FileIdentity>& seen) {
  FileIdentity now;
  if (!IdentityOfPath(path, &now) || !now.regular) return false;
  return !seen.has_value() || !SameVersion(path, *seen, now);
}

}  // namespace

Status Database::ToWrite(std::string_view collection_name, CollectionPtr* out) const {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  *out = FindInMemory(collection_name);
  if (*out == nullptr) {
    return Status::NotFound("Collection '" + std::string(collection_name) +
                            "' not found in stored collections");
  }
  return Status();
}

Status Database::WriteCollectionFile(std::string_view collection_name,
                                     Collection& collection) const {
  std::string path = CollectionFilePath(name_, collection_name);
  ReplaceFailure f;
  std::optional<FileIdentity> written;
  bool ok = ReplaceFile(
      path, [&](OutBuffer& out) { return WriteDocuments(collection.docs, out); }, &f, &written);
  if (!ok) return WriteFailureStatus(f, path);
  collection.file_seen = written;
  return Status();
}

Status Database::write(std::string_view collection_name) const {
  CollectionPtr c;
  if (Status s = ToWrite(collection_name, &c); !s.ok()) return s;
  if (Status s = CheckUnshared(); !s.ok()) return s;
  return WriteCollectionFile(collection_name, *c);
}

Status Database::write_all() const {
  if (Status s = CheckUnshared(); !s.ok()) return s;
  // Every collection is attempted; the first failure is reported after.
  Status first;
  for (const auto& [name, collection] : collections_) {
    Status s = WriteCollectionFile(name, *collection);
    if (!s.ok() && first.ok()) first = std::move(s);
  }
  return first;
}

Status Database::changed_files(const std::string_view* collection_name,
                               std::vector<std::string>* paths) {
  // What other objects folded into the files is theirs to write: read.
  // Another object's fold puts its files in place under the turn, before
  // its record commits; under the turn, every file a fold put in place is
  // one a record this object applied names.
  JournalFile::Turn turn;
  if (journal_ != nullptr) {
    if (Status s = EnterAlone(); !s.ok()) return s;
    if (Status s = journal_->file->TakeTurn(&turn); !s.ok()) return s;
    if (Status s = CatchUp(&turn); !s.ok()) return s;
  }
  // A file a fold of this object put in place is this object's own, even
  // before the fold is finished and noted.
  const Fold* fold = journal_ != nullptr ? journal_->fold.get() : nullptr;
  auto check = [&](std::string_view name, const Collection& c) {
    std::string path = CollectionFilePath(name_, name);
    std::optional<FileIdentity> seen = c.file_seen;
    FileIdentity placed;
    if (fold != nullptr && fold->Placed(name, &placed)) seen = placed;
    if (ChangedSince(path, seen)) paths->push_back(std::move(path));
  };
  if (collection_name == nullptr) {
    for (const auto& [name, collection] : collections_) check(name, *collection);
    return Status();
  }
  CollectionPtr c;
  if (Status s = ToWrite(*collection_name, &c); !s.ok()) return s;
  check(*collection_name, *c);
  return Status();
}

Status Database::plan_write(const std::string_view* collection_name, std::shared_ptr<Fold>* fold,
                            bool* busy) {
  *busy = false;
  if (Status s = Enter(); !s.ok()) return s;
  if (collection_name != nullptr) {
    CollectionPtr c;
    if (Status s = ToWrite(*collection_name, &c); !s.ok()) return s;
  }
  if (journal_->fold != nullptr) {
    *busy = true;
    *fold = journal_->fold;
    return Status();
  }
  JournalFile* file = journal_->file.get();
  PassGate(Gate::kPlanWrite);
  if (!file->TryLockFold()) {
    *busy = true;  // another object folds
    return Status();
  }
  std::shared_ptr<Fold> planned;
  {
    FoldLockHolder holder{file};
    // Another object may have folded since this one caught up, and
    // restarted the journal past what this one applied: its files hold
    // changes this one's memory does not have yet, and the journal no
    // longer does. Under the fold lock no other fold can come: caught up
    // now, the fold writes a state at least as new as theirs.
    if (Status s = CatchUp(nullptr); !s.ok()) return s;
    planned = PlanFold(collection_name, /*missing_files=*/true);
    if (planned != nullptr) {
      planned->HoldsFoldLock(file);
      holder.file = nullptr;
    }
  }
  *fold = planned;
  journal_->fold = std::move(planned);
  return Status();
}

void Database::wait_for_other_fold() const {
  JournalFile* file = journal_->file.get();
  PassGate(Gate::kFoldWait);
  file->WaitForFold();
}

Status Database::finish_write(const std::shared_ptr<Fold>& fold) {
  // Another call may have finished it already (Enter), when it ended
  // first: its result stays with it.
  Status s = journal_->fold == fold ? FinishFold() : fold->result();
  if (journal_->file->broken()) {
    // The fold's sync of the journal failed: this call reports it, and
    // goes back to the state on disk before it returns.
    journal_->failure_reported = true;
    static_cast<void>(Recover());
  }
  return s;
}

}  // namespace moxal
