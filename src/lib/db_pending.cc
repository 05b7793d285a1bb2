// Operations whose bodies come later.

#include "conversion/to_python.h"
#include "lib/database.h"

namespace moxal {

namespace {
Status NotBuilt() { return Status::Error(ErrorKind::kNotImplemented, "not built yet"); }
}  // namespace

Status Database::create_collection(std::string_view) { return NotBuilt(); }
Status Database::drop_collection(std::string_view) { return NotBuilt(); }
Status Database::drop_all() { return NotBuilt(); }
Status Database::insert(std::string_view, PyObject*) { return NotBuilt(); }
Status Database::insert_many(std::string_view, PyObject*) { return NotBuilt(); }
Status Database::insert_many_from_document(std::string_view, std::string_view) { return NotBuilt(); }
Status Database::load_from_document(std::string_view) { return NotBuilt(); }
Status Database::insert_in_collection(std::string_view, Value) { return NotBuilt(); }
Result<PyRef> Database::find(std::string_view collection_name, PyObject* maybe_query) {
  CollectionPtr c = Get(collection_name);
  if (c == nullptr || maybe_query != nullptr) return NotBuilt();
  PyObject* list = DocumentsToPython(c->docs.data(), c->docs.size());
  if (list == nullptr) return Status::PythonSet();
  return PyRef::Steal(list);
}
Status Database::clear_cache() { return NotBuilt(); }
Status Database::update_in_memory_collections(std::string_view) { return NotBuilt(); }
Result<PyRef> Database::update(std::string_view, PyObject*, PyObject*, bool) { return NotBuilt(); }
Status Database::write(std::string_view) const { return NotBuilt(); }
Status Database::write_all() const { return NotBuilt(); }
Status Database::_write(std::string_view, const Collection&) const { return NotBuilt(); }

}  // namespace moxal
