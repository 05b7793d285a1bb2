// Inserting documents.

#include <algorithm>
#include <cassert>
#include <exception>

#include "db/collection_file.h"
#include "db/collection_names.h"
#include "db/database.h"
#include "storage/fs.h"
#include "storage/os_error.h"

namespace moxal {

namespace {

// Appends `docs` at the end of the collection in one step.
void Append(Collection& c, std::vector<Value> docs) {
  // Room is made first, the only step that can fail; it grows by half at
  // least, so one insert at a time costs amortised constant time instead
  // of a copy of the whole list each.
  size_t needed = c.docs.size() + docs.size();
  if (needed > c.docs.capacity()) c.docs.reserve(std::max(needed, c.docs.capacity() * 3 / 2));
  for (Value& d : docs) c.docs.push_back(std::move(d));
  c.Touch();
}

std::string ReadingNote(std::string_view path) { return "while reading " + std::string(path); }

}  // namespace

Status Database::AppendDocuments(std::string_view collection_name, std::vector<Value> docs) {
  if (CollectionPtr c = FindInMemory(collection_name); c != nullptr) {
    Append(*c, std::move(docs));
    return Status();
  }
  // A new collection: its file is made (empty) and it holds the documents
  // from the start. Deliberately dropped: whatever making the file says is
  // not reported; a collection not created (something already at the path,
  // or an error) is reported as missing.
  bool created = false;
  static_cast<void>(
      CreateCollectionFile(collection_name, MakeCollection(std::move(docs)), &created));
  if (!created) return Status::Internal(kUnwrapNone);
  return Status();
}

Status Database::insert(std::string_view collection_name, Converted<Value> document) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (!document.error.ok()) return document.error;
  std::vector<Value> docs;
  docs.push_back(std::move(document.value));
  return AppendDocuments(collection_name, std::move(docs));
}

Status Database::insert_many(std::string_view collection_name,
                             Converted<std::vector<Value>> documents) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (!documents.error.ok()) return documents.error;
  return AppendDocuments(collection_name, std::move(documents.value));
}

Status Database::insert_many_from_document(std::string_view collection_name,
                                           std::string_view document_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  Value whole;
  std::vector<Value> docs;
  if (Status s = ReadDocumentFile(std::string(document_name), &whole, &docs); !s.ok()) {
    return std::move(s).WithNote(ReadingNote(document_name));
  }
  if (!whole.empty()) {
    return Status::InvalidDocument("Document is not an array").WithNote(ReadingNote(document_name));
  }
  return AppendDocuments(collection_name, std::move(docs));
}

Status Database::load_from_document(std::string_view document_path) {
  Value whole;
  if (Status s = ReadDocumentFile(std::string(document_path), &whole); !s.ok()) {
    return std::move(s).WithNote(ReadingNote(document_path));
  }
  if (!whole.ref().is_object()) {
    return Status::Internal(kUnwrapNone).WithNote(ReadingNote(document_path));
  }
  // Collections are filled one after another, in key order; a failure
  // leaves the members before it inserted. Running out of memory is the
  // exception: it takes out again what the call put in, so that the call
  // changes nothing.
  ObjectRef members = whole.ref().as_object();
  InsertionUndo undo(this, members.count());
  for (Member m : members) {
    if (Status s = CheckCollectionName(m.key); !s.ok()) return s;
    // Each element becomes a document of its own.
    std::vector<Value> docs;
    if (m.value.is_array()) {
      docs.reserve(m.value.as_array().count());
      for (ValueRef e : m.value.as_array()) docs.push_back(Value::CopyOf(e));
    } else {
      docs.push_back(Value::CopyOf(m.value));
    }
    undo.Before(m.key);
    if (Status s = AppendDocuments(m.key, std::move(docs)); !s.ok()) return s;
    undo.After();
  }
  return Status();
}

Database::InsertionUndo::InsertionUndo(Database* db, size_t count)
    : db_(db), exceptions_(std::uncaught_exceptions()) {
  steps_.reserve(count);
}

void Database::InsertionUndo::Before(std::string_view collection_name) {
  Step step;
  step.name = collection_name;
  step.collection = db_->FindInMemory(collection_name);
  if (step.collection != nullptr) {
    step.size = step.collection->docs.size();
    step.stamp = step.collection->stamp;
  } else {
    step.path = CollectionFilePath(db_->name_, collection_name);
  }
  assert(steps_.size() < steps_.capacity());
  steps_.push_back(std::move(step));  // room is reserved: cannot throw
}

void Database::InsertionUndo::After() noexcept { steps_.back().done = true; }

Database::InsertionUndo::~InsertionUndo() {
  if (std::uncaught_exceptions() == exceptions_) return;  // only a thrown failure is undone
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    if (!step->done) continue;
    if (step->collection != nullptr) {
      step->collection->docs.resize(step->size);  // shrinking: no allocation
      step->collection->indexes.Truncated(step->size);
      step->collection->stamp = step->stamp;
    } else {
      db_->Unregister(step->name);
      SysError ignored;
      RemoveFile(step->path, &ignored);
    }
  }
}

}  // namespace moxal
