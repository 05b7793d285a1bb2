// Small pieces the database operations share.

#ifndef MOXAL_LIB_DB_COMMON_H_
#define MOXAL_LIB_DB_COMMON_H_

#include <string>
#include <vector>

#include "conversion/conversion_error.h"
#include "conversion/to_python.h"
#include "values/status.h"
#include "values/value.h"

namespace moxal {

// A stored document may nest one level less than a JSON text may, since
// its collection file wraps it in an array.
inline constexpr int kMaxDocumentDepth = kMaxNesting - 1;

// A Python value that could not become a document value: an internal
// failure that shows the conversion error.
inline Status ConversionPanic(const ConversionError& e) {
  return Status::PanicException(std::string(kUnwrapErrPrefix) + e.Debug());
}

// The documents as a new Python list of new objects.
inline Result<PyRef> ToPythonList(const std::vector<Value>& docs) {
  PyObject* list = DocumentsToPython(docs.data(), docs.size());
  if (list == nullptr) return Status::PythonSet();
  return PyRef::Steal(list);
}

}  // namespace moxal

#endif  // MOXAL_LIB_DB_COMMON_H_
