// The sort, limit and skip arguments of find, as the Page they ask for.
//
//   sort   None or empty: collection order. A field name (str, dotted for
//          a nested field), ascending; a list (or tuple) of (field,
//          direction) pairs (each a tuple or a list of two), direction 1
//          (ascending) or -1 (descending), the first pair deciding first;
//          or a dict {field: direction}, in its insertion order.
//   limit  an int, 0 (no limit) or more.
//   skip   an int, 0 or more.
//
// A value of another type is a TypeError, a direction other than 1 or -1
// and a negative limit or skip are ValueErrors; bools are no ints here.
// No Python code runs during the conversion (subclasses' methods are not
// called), so it cannot re-enter the object.

#ifndef MOXAL_PYTHON_FIND_PAGE_H_
#define MOXAL_PYTHON_FIND_PAGE_H_

#include <Python.h>

#include "query/page.h"

namespace moxal {

// Converts the arguments (each null when left out) into *out. Returns
// false with the exception set. Throws std::bad_alloc.
bool ConvertPage(PyObject* sort, PyObject* limit, PyObject* skip, Page* out);

}  // namespace moxal

#endif  // MOXAL_PYTHON_FIND_PAGE_H_
