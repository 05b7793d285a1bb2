// What conversions keep from one call to the next, one set per module
// object (so per interpreter).

#ifndef MOXAL_CONVERSION_CONVERSION_STATE_H_
#define MOXAL_CONVERSION_CONVERSION_STATE_H_

#include "conversion/py_ref.h"

namespace moxal {

class KeyStrs;

// collections.abc.Sequence and Mapping, imported on first need; the types
// collections.deque and array.array, found when an object of theirs is
// first converted; and the field names made into str objects by earlier
// results (see KeyStrs), made on first need. Strong references, or null;
// zeroed memory is an empty state.
struct ConversionState {
  PyObject* sequence_abc;
  PyObject* mapping_abc;
  PyObject* deque_type;
  PyObject* array_type;
  KeyStrs* keys;
};

// Visits the objects `state` holds, for the cyclic collector (the module's
// m_traverse). The field names are str objects, which it does not track.
inline int TraverseConversionState(const ConversionState& state, visitproc visit, void* arg) {
  Py_VISIT(state.sequence_abc);
  Py_VISIT(state.mapping_abc);
  Py_VISIT(state.deque_type);
  Py_VISIT(state.array_type);
  return 0;
}

// Drops what `state` holds; it is made again on next need.
void ClearConversionState(ConversionState* state);

}  // namespace moxal

#endif  // MOXAL_CONVERSION_CONVERSION_STATE_H_
