// Operations whose bodies come later.

#include "conversion/to_python.h"
#include "lib/database.h"

namespace moxal {

namespace {
Status NotBuilt() { return Status::Error(ErrorKind::kNotImplemented, "not built yet"); }
}  // namespace

Result<PyRef> Database::update(std::string_view, PyObject*, PyObject*, bool) { return NotBuilt(); }

}  // namespace moxal
