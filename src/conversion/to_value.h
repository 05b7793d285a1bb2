// Python objects to document values.
//
// The object is matched against these rows in order; the first that fits
// decides (a subclass counts as its built-in base):
//
//    1 None                 null
//    2 bool                 boolean (before int: True is not 1)
//    3 int                  non-negative or negative integer; beyond 64 bits
//                           Message "JSON number out of range" up to 128 bits,
//                           the interpreter's OverflowError past that
//    4 list, tuple          array; the length is read twice before access and
//                           must agree (IncorrectSequenceLength)
//    5 dict                 object, by the mapping rule
//    6 str                  string (UTF-8; lone surrogates give the
//                           interpreter's UnicodeEncodeError)
//    7 bytes                Message "invalid type: byte array, ..."
//    8 bytearray            UnexpectedType "... cannot be converted to 'PyBytes'"
//    9 float                float; NaN and infinities become null
//   10 set, frozenset       array in iteration order
//   11 collections.abc.Sequence   array, items by index
//   12 collections.abc.Mapping    object, by the mapping rule
//   13 anything else        UnsupportedType(qualified type name)
//
// Mapping rule: keys, values and length are fetched once; members are taken
// pairwise for as many pairs as the length says; every key must be a str.
//
// The checks of rows 11 and 12 run Python code, so the built-in types that
// pass them and are read without any (range, memoryview, collections.deque
// and array.array, and types.MappingProxyType over a dict) are recognised
// first, by their exact type, and converted the same way.
//
// Conversion runs the caller's Python code (user-defined sequences and
// mappings), so it holds a strong reference to everything it is reading.
// It refuses containers nested deeper than `max_depth` and a container that
// contains itself, with a Message error, so hostile input cannot exhaust the
// stack. Each value converted is a step of `pacer` (pacer.h), which lets
// other threads run during a long conversion: they may change what is being
// read meanwhile, as that Python code may.

#ifndef MOXAL_CONVERSION_TO_VALUE_H_
#define MOXAL_CONVERSION_TO_VALUE_H_

#include <vector>

#include "conversion/conversion_error.h"
#include "conversion/conversion_state.h"
#include "conversion/pacer.h"
#include "values/value.h"

namespace moxal {

// Converts `obj` into *out, keeping what it imports in *state. On failure
// returns false with *error set and no Python exception pending; when a
// signal handler raised an exception at a step of `pacer`, that is the
// error (interrupted()). Throws std::bad_alloc when memory runs out. Call
// with no exception pending.
bool ToValue(ConversionState* state, PyObject* obj, int max_depth, Pacer* pacer, Value* out,
             ConversionError* error);

// Converts a list (or list subclass) exactly as ToValue would convert it to
// an array, but appends each element to *out as a value of its own, so a
// batch of documents needs no copying afterwards. `max_depth` counts the
// list itself. On failure *out is left as it was.
bool ToValues(ConversionState* state, PyObject* list, int max_depth, Pacer* pacer,
              std::vector<Value>* out, ConversionError* error);

}  // namespace moxal

#endif  // MOXAL_CONVERSION_TO_VALUE_H_
