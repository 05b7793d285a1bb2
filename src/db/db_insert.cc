// Inserting documents.

#include <algorithm>

#include "db/database.h"
#include "db/collection_file.h"
#include "db/collection_names.h"

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

std::string ReadingNote(std::string_view path) {
  return "while reading " + std::string(path);
}

}  // namespace

Status Database::insert_in_collection(std::string_view collection_name, ValueRef document) {
  std::vector<Value> docs;
  if (document.is_array()) {
    // Each element becomes a document of its own.
    ArrayRef a = document.as_array();
    docs.reserve(a.count());
    for (ValueRef e : a) docs.push_back(Value::CopyOf(e));
  } else {
    docs.push_back(Value::CopyOf(document));
  }
  return insert_documents(collection_name, std::move(docs));
}

Status Database::insert_documents(std::string_view collection_name, std::vector<Value> docs) {
  CollectionPtr c = get(collection_name);
  if (c == nullptr) {
    // Deliberately dropped: whatever create_collection says is not
    // reported, since the lookup that follows fails in every case in which
    // it did not register the collection (something already at the path,
    // or an error).
    static_cast<void>(create_collection(collection_name));
    c = get(collection_name);
    if (c == nullptr) return Status::Internal(kUnwrapNone);
  }
  Append(*c, std::move(docs));
  return Status();
}

Status Database::insert(std::string_view collection_name, Converted<Value> document) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (!document.error.ok()) return document.error;
  std::vector<Value> docs;
  docs.push_back(std::move(document.value));
  return insert_documents(collection_name, std::move(docs));
}

Status Database::insert_many(std::string_view collection_name,
                             Converted<std::vector<Value>> documents) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  if (!documents.error.ok()) return documents.error;
  return insert_documents(collection_name, std::move(documents.value));
}

Status Database::insert_many_from_document(std::string_view collection_name,
                                           std::string_view document_name) {
  if (Status s = CheckCollectionName(collection_name); !s.ok()) return s;
  Value whole;
  std::vector<Value> docs;
  if (Status s = ReadDocumentFile(std::string(document_name), &whole, &docs); !s.ok()) {
    return std::move(s).WithNote(ReadingNote(document_name));
  }
  if (!whole.empty()) return Status::InvalidDocument("Document is not an array");
  return insert_documents(collection_name, std::move(docs));
}

Status Database::load_from_document(std::string_view document_path) {
  Value whole;
  if (Status s = ReadDocumentFile(std::string(document_path), &whole); !s.ok()) {
    return std::move(s).WithNote(ReadingNote(document_path));
  }
  if (!whole.ref().is_object()) return Status::Internal(kUnwrapNone);
  // Collections are filled one after another, in key order; a failure
  // leaves the members before it inserted.
  for (Member m : whole.ref().as_object()) {
    if (Status s = CheckCollectionName(m.key); !s.ok()) return s;
    if (Status s = insert_in_collection(m.key, m.value); !s.ok()) return s;
  }
  return Status();
}

}  // namespace moxal
