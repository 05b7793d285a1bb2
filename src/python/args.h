// Argument matching and conversion for every method, driven by one table
// entry per method.
//
// Matching (positional arguments from the left, keywords by exact name)
// raises TypeError with the messages Python users know:
//   "Moxal.find() takes from 1 to 2 positional arguments but 3 were given"
//   "Moxal.find() got an unexpected keyword argument 'name'"
//   "Moxal.find() got multiple values for argument 'collection_name'"
//   "Moxal.update() missing 2 required positional arguments: 'collection_name' and 'update_query'"
// Conversion checks each supplied argument's type; a mismatch raises
// TypeError "argument '{name}': '{type}' object cannot be converted to
// 'PyString'" (or PyDict, PyList, PyBool) chained from the underlying
// TypeError. Matching happens before the object is borrowed, conversion
// after (the wrappers in methods.cc do the borrowing).

#ifndef MOXAL_PYTHON_ARGS_H_
#define MOXAL_PYTHON_ARGS_H_

#include <string_view>

#include "conversion/py_ref.h"

namespace moxal {

enum class ParamType : unsigned char {
  kStr,           // str or subclass, passed on as UTF-8
  kDict,          // dict or subclass
  kList,          // list or subclass
  kDictOrNone,    // dict, subclass, or None (same as leaving it out)
  kBool,          // bool, or a NumPy boolean scalar
};

struct Param {
  const char* name;
  ParamType type;
};

inline constexpr int kMaxParams = 4;

struct MethodSig {
  const char* full_name;  // "Moxal.find()"
  int required;           // leading parameters without a default
  int count;
  Param params[kMaxParams];
};

// The arguments of one call, matched to the parameters (borrowed references,
// null where not supplied) and, after ConvertArgs, converted.
struct Args {
  PyObject* object[kMaxParams] = {};
  std::string_view text[kMaxParams];  // kStr: UTF-8, valid during the call
  bool flag[kMaxParams] = {};         // kBool
};

// Matches a vector call. Returns false with TypeError set.
bool MatchArgs(const MethodSig& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Args* out);

// Matches a tuple-and-dict call (the constructor). Returns false with
// TypeError set.
bool MatchArgs(const MethodSig& sig, PyObject* args, PyObject* kwargs, Args* out);

// Converts the matched arguments in parameter order. Returns false with the
// exception set; a kDictOrNone given as None ends up null, as if left out.
bool ConvertArgs(const MethodSig& sig, Args* args);

}  // namespace moxal

#endif  // MOXAL_PYTHON_ARGS_H_
