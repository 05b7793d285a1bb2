// What the journal's records say, and their encoding.
//
// One call that changes the database appends one record (db_commit.cc);
// opening a directory replays them after loading the collection files
// (db_journal.cc). A record is a type byte and its fields:
//
//   kInsert  name, created, documents    documents appended; `created`:
//                                         the collection was made (empty,
//                                         its file `[]`) by this call
//   kLoad    groups of kInsert's fields  load_from_document
//   kUpdateAt name, update query, (gap, run)*  an update, applied again to
//                                         the documents it changed: runs of
//                                         positions, as kRemove's
//   kUpdate  name, update query, filter?  an update, evaluated again (when
//                                         the positions would be many runs)
//   kRemove  name, (gap, run)*           a delete: runs of positions
//   kCreate  name                        create_collection
//   kDrop    (name, token)*              drop_collection, drop_all: the
//                                         file was renamed aside under the
//                                         token (db_collections.cc), or 0
//   kFold    position, (name, identity)* the files now hold these
//                                         collections as they were before
//                                         `position`, written as files of
//                                         that identity (fold.h)
//
// Fields: counts, positions and sizes as LEB128 varints; names and
// documents as a varint length and their bytes, documents in their encoded
// form (value.h), which replay checks before it uses them (blob_check.h):
// a change of that encoding is a change of the journal's version.

#ifndef MOXAL_DB_JOURNAL_RECORD_H_
#define MOXAL_DB_JOURNAL_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_identity.h"
#include "storage/journal_file.h"
#include "values/value.h"

namespace moxal {

enum class RecordType : uint8_t {
  kInsert = 1,
  kLoad = 2,
  kUpdateAt = 3,
  kUpdate = 4,
  kRemove = 5,
  kCreate = 6,
  kDrop = 7,
  kFold = 8,
};

// Builds one record. Short fields are copied into the builder; documents
// larger than kCopyBelow are referenced and must outlive the append.
class RecordBuilder {
 public:
  static constexpr size_t kCopyBelow = 512;

  RecordBuilder() = default;
  RecordBuilder(const RecordBuilder&) = delete;
  RecordBuilder& operator=(const RecordBuilder&) = delete;

  void Type(RecordType type) { Byte(static_cast<uint8_t>(type)); }
  void Byte(uint8_t b) { bytes_.push_back(static_cast<char>(b)); }
  void Varint(uint64_t v);
  void Text(std::string_view s);
  void Document(const uint8_t* data, size_t size);
  void Document(const Value& v) { Document(v.data(), v.size()); }
  // A document made for the record alone, kept by the builder.
  void OwnedDocument(Value v);
  void Identity(const FileIdentity& id);

  // The record's bytes, in order, for JournalFile::Append, into *pieces;
  // valid while the builder is not changed.
  void Pieces(std::vector<JournalFile::Piece>* pieces) const;
  size_t size() const;
  // Empties the builder for the next record, keeping its memory: a
  // database reuses one, so appending a small record allocates nothing.
  void Clear();

 private:
  struct Ref {
    size_t after;  // bytes_ before the referenced bytes
    const uint8_t* data;
    size_t size;
  };
  std::string bytes_;
  std::vector<Ref> refs_;
  std::vector<Value> owned_;
  size_t referenced_ = 0;
};

// Reads the fields of one record; every read is bounds-checked and false
// once the record ends early or holds what no builder writes.
class RecordReader {
 public:
  RecordReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool Type(RecordType* type);
  bool Byte(uint8_t* b);
  bool Varint(uint64_t* v);
  bool Text(std::string_view* s);
  // A document: its bytes, checked to be a well-formed value that a
  // collection may hold.
  bool Document(const uint8_t** data, size_t* size);
  // The same, unchecked: for a caller that checks it (or compares it with
  // bytes it checked before).
  bool UncheckedDocument(const uint8_t** data, size_t* size);
  bool Identity(FileIdentity* id);
  bool done() const { return p_ == end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Runs of positions (ascending, distinct): each run's gap from where the
// run before could have continued, and its length. Every position of a
// collection is one run.
void RecordRuns(const std::vector<size_t>& positions, RecordBuilder* r);
// Reads what RecordRuns wrote, appending the positions to *positions
// unless it is null (then only checks them); false when the record does not
// hold runs, or names a position at or past `limit` (the collection's
// size), so a damaged count cannot ask for absurd memory.
bool ReadRuns(RecordReader* r, uint64_t limit, std::vector<size_t>* positions);

// Appends to *names the collections the record `data` makes afresh
// (create_collection, an insert or load that made its collection, a
// drop): what they held before it is gone. False when it cannot be read.
bool NamesMadeAfresh(const uint8_t* data, size_t size, std::vector<std::string>* names);

}  // namespace moxal

#endif  // MOXAL_DB_JOURNAL_RECORD_H_
