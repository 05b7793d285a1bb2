#include "conversion/key_strs.h"

#include <cassert>
#include <new>

#include "conversion/conversion_state.h"

namespace moxal {

KeyStrs* KeyStrs::New() {
  void* memory = PyMem_Calloc(1, sizeof(KeyStrs));  // zeroed: every slot empty
  return static_cast<KeyStrs*>(memory);
}

void KeyStrs::Delete(KeyStrs* keys) {
  if (keys == nullptr) return;
  for (Slot& slot : keys->slots_) Py_CLEAR(slot.str);
  PyMem_Free(keys);
}

PyObject* KeyStrs::Get(std::string_view s) {
  if (s.size() > kMaxKeySize) return NewStr(s);
  const str_cache_internal::Key key(s);
  size_t home = key.Hash(s) & (kSlots - 1);
  for (int probe = 0; probe < kProbes; ++probe) {
    Slot& slot = slots_[(home + probe) & (kSlots - 1)];
    if (slot.str == nullptr) break;
    if (slot.key.Matches(key, slot.data, s)) return Py_NewRef(slot.str);
  }
  PyObject* str = NewStr(s);
  if (str == nullptr) return nullptr;
  // Into the first empty slot of the probe, else in place of the first.
  Slot* target = &slots_[home];
  for (int probe = 0; probe < kProbes; ++probe) {
    Slot& slot = slots_[(home + probe) & (kSlots - 1)];
    if (slot.str == nullptr) {
      target = &slot;
      break;
    }
  }
  const char* data = PyUnicode_AsUTF8(str);  // an ASCII str's own bytes
  if (data == nullptr) {                     // no memory for the UTF-8 form: not kept
    PyErr_Clear();
    return str;
  }
  PyObject* old = target->str;
  *target = {key, Py_NewRef(str), data};
  Py_XDECREF(old);
  return str;
}

void ClearConversionState(ConversionState* state) {
  Py_CLEAR(state->sequence_abc);
  Py_CLEAR(state->mapping_abc);
  Py_CLEAR(state->deque_type);
  Py_CLEAR(state->array_type);
  KeyStrs* keys = state->keys;
  state->keys = nullptr;
  KeyStrs::Delete(keys);
}

}  // namespace moxal
