// Document values to new Python objects.
//
//   null -> None, boolean -> bool, integers -> int, float -> float,
//   string -> str, array -> new list, object -> new dict with its keys
//   inserted in key order.
//
// Every node becomes a new object on every call, so callers may change what
// they get without touching the database. Strings are the exception, as
// they cannot be changed: keys are str objects kept from one conversion to
// the next (key_strs.h), and within one conversion equal short string
// values share one str, which saves creating (and hashing, and freeing) a
// str per key and per repeated value.

#ifndef MOXAL_CONVERSION_TO_PYTHON_H_
#define MOXAL_CONVERSION_TO_PYTHON_H_

#include <cstddef>
#include <string>
#include <vector>

#include "conversion/conversion_state.h"
#include "conversion/pacer.h"
#include "conversion/py_ref.h"
#include "values/value.h"

namespace moxal {

// A new Python list holding a new object for each of the `n` documents, or
// null with a Python exception set. The cyclic garbage collector is paused
// while the list is built (its objects cannot form cycles) and restored to
// the caller's setting afterwards; the new containers are then the young
// generation's to look at in its next collection, like any others.
// `pacer` paces the building (pacer.h): pending signals are handled about
// every switch interval, so Ctrl-C stops a long conversion with
// KeyboardInterrupt, and other threads run meanwhile (with the collector as
// the program set it), while the list is half built: only the collector
// can show it to them (gc.get_objects()), with None in the slots not yet
// filled. Field names are taken from, and kept in, `state`, which other
// threads' conversions use too.
PyObject* DocumentsToPython(ConversionState* state, const Value* docs, size_t n, Pacer* pacer);

// A new list of str, one per string of `strings` (valid UTF-8), or null with
// a Python exception set.
PyObject* StringsToPython(const std::vector<std::string>& strings);

}  // namespace moxal

#endif  // MOXAL_CONVERSION_TO_PYTHON_H_
