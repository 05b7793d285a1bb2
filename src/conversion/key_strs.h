// Field names as str objects, kept from one result to the next.
//
// Every dict a result holds needs its keys as str objects. Documents of a
// collection share their field names, and programs ask for few documents
// at a time (a lookup by key returns one), so making the names anew for
// every result would cost a lookup about as much as building its values:
// a str to allocate, fill, hash (when the dict takes it) and free again.
// The names are kept instead, in a table of strong references that lives
// as long as the module's state; a str cannot change, so sharing one between
// results shows only in its identity.
//
// Bounded: kSlots names of up to kMaxKeySize bytes (a longer key is seldom
// a field name, costs more to hash, and is made each time). A name whose
// few slots are taken replaces the first of them, so names that stop
// coming give way to those that come now. Only ever used with the
// interpreter lock held.

#ifndef MOXAL_CONVERSION_KEY_STRS_H_
#define MOXAL_CONVERSION_KEY_STRS_H_

#include <cstddef>
#include <string_view>

#include "conversion/py_ref.h"
#include "conversion/str_cache.h"

namespace moxal {

class KeyStrs {
 public:
  static constexpr size_t kSlots = 1024;  // 40 KiB of table
  static constexpr size_t kMaxKeySize = 64;

  // A new table, or null (with no exception set) when memory runs out.
  static KeyStrs* New();
  // Drops every str and the table.
  static void Delete(KeyStrs* keys);

  // A new reference to a str holding `s` (valid UTF-8), or null with a
  // Python exception set.
  PyObject* Get(std::string_view s);

 private:
  struct Slot {
    str_cache_internal::Key key;
    PyObject* str;  // strong; null for an empty slot
    // The bytes, compared past the first 16: the str's own, which live as
    // long as the slot holds it.
    const char* data;
  };
  static constexpr int kProbes = 4;

  Slot slots_[kSlots];
};

}  // namespace moxal

#endif  // MOXAL_CONVERSION_KEY_STRS_H_
