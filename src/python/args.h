// The parameters of every method, written once per method as a Signature,
// and the argument matching and conversion driven by it.
//
// A method's arguments arrive in a struct of its own whose fields are named
// like its parameters (the MOXAL_*_PARAM macros write the parameter's name
// and its field from one identifier), so a wrapper reads
// `a.collection_name`, never a position. The same Signature gives the
// method's text signature (the docstring line inspect.signature reads), so
// the names, defaults and order a caller sees are the ones matched here.
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

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "conversion/py_ref.h"

namespace moxal {

// The class whose methods these are, as argument errors and its
// docstring name it.
inline constexpr char kClassName[] = "Moxal";

enum class ParamType : unsigned char {
  kStr,         // str or subclass, passed on as UTF-8
  kDict,        // dict or subclass
  kList,        // list or subclass
  kDictOrNone,  // dict, subclass, or None (same as leaving it out)
  kBool,        // bool, or a NumPy boolean scalar
  kObject,      // any object, passed on unchecked for the wrapper to convert
};

// One parameter of a method whose arguments go into a `Fields` struct.
// Exactly one of `text`, `object` and `flag` is set, the one its type
// fills.
template <class Fields>
struct Param {
  const char* name;
  ParamType type;
  const char* default_text = nullptr;         // as the signature shows it; null: required
  std::string_view Fields::* text = nullptr;  // kStr: UTF-8, valid during the call
  PyObject* Fields::* object = nullptr;       // kDict, kList, kDictOrNone, kObject:
                                              // borrowed, null when left out (or, but
                                              // for kObject, None)
  bool Fields::* flag = nullptr;              // kBool
  bool flag_default = false;
  bool keyword_only = false;  // after a bare * in the signature
};

// A parameter named `field` that fills the field of that name of `Fields`:
// one identifier gives both, so the name callers use and the field the
// wrapper reads cannot differ. Required unless a default is given.
#define MOXAL_STR_PARAM(Fields, field)                                       \
  ::moxal::Param<Fields> {                                                   \
    .name = #field, .type = ::moxal::ParamType::kStr, .text = &Fields::field \
  }
#define MOXAL_DICT_PARAM(Fields, field)                                         \
  ::moxal::Param<Fields> {                                                      \
    .name = #field, .type = ::moxal::ParamType::kDict, .object = &Fields::field \
  }
#define MOXAL_LIST_PARAM(Fields, field)                                         \
  ::moxal::Param<Fields> {                                                      \
    .name = #field, .type = ::moxal::ParamType::kList, .object = &Fields::field \
  }
// Optional, default None.
#define MOXAL_DICT_OR_NONE_PARAM(Fields, field)                                      \
  ::moxal::Param<Fields> {                                                           \
    .name = #field, .type = ::moxal::ParamType::kDictOrNone, .default_text = "None", \
    .object = &Fields::field                                                         \
  }
// Optional and keyword-only, a str, with the default `literal` (as the
// signature shows it); the field stays empty when left out.
#define MOXAL_KWONLY_STR_PARAM(Fields, field, literal)                           \
  ::moxal::Param<Fields> {                                                       \
    .name = #field, .type = ::moxal::ParamType::kStr, .default_text = (literal), \
    .text = &Fields::field, .keyword_only = true                                 \
  }
// Optional and keyword-only, any object (the wrapper converts it), with the
// default `literal` (as the signature shows it); the field stays null when
// left out.
#define MOXAL_KWONLY_OBJECT_PARAM(Fields, field, literal)                           \
  ::moxal::Param<Fields> {                                                          \
    .name = #field, .type = ::moxal::ParamType::kObject, .default_text = (literal), \
    .object = &Fields::field, .keyword_only = true                                  \
  }
// Optional, with the default `value` (true or false).
#define MOXAL_BOOL_PARAM(Fields, field, value)                                                     \
  ::moxal::Param<Fields> {                                                                         \
    .name = #field, .type = ::moxal::ParamType::kBool, .default_text = (value) ? "True" : "False", \
    .flag = &Fields::field, .flag_default = (value)                                                \
  }

// What matching needs of a signature.
struct ParamNames {
  const char* method;        // "find"; "__new__" for the constructor
  const char* const* names;  // `count` parameter names, in order
  int count;
  int required;    // the leading parameters without a default
  int positional;  // the leading parameters that may be given by position
};

// A method's parameters, in order. Made by MakeSignature.
template <class Fields, size_t N>
struct Signature {
  const char* method;
  std::array<Param<Fields>, N> params;
  std::array<const char*, N> names;  // params[i].name
  int required;
  int positional;

  ParamNames Names() const {
    return {method, names.data(), static_cast<int>(N), required, positional};
  }
};

// The arguments as matched to the parameters: borrowed references, null
// where an argument was left out.
template <size_t N>
using Matched = std::array<PyObject*, N>;

// The signature of `method` with `params`. Checked as it is compiled: the
// parameters without a default come first, and each fills the one field
// its type calls for.
template <class Fields, class... Params>
consteval Signature<Fields, sizeof...(Params)> MakeSignature(const char* method, Params... params) {
  static_assert((std::is_same_v<Params, Param<Fields>> && ...),
                "every parameter fills a field of the same struct");
  Signature<Fields, sizeof...(Params)> sig{method, {params...}, {}, 0, 0};
  bool optional_seen = false;
  bool keyword_only_seen = false;
  for (size_t i = 0; i < sig.params.size(); ++i) {
    const Param<Fields>& p = sig.params[i];
    sig.names[i] = p.name;
    bool is_text = p.type == ParamType::kStr;
    bool is_flag = p.type == ParamType::kBool;
    if ((p.text != nullptr) != is_text || (p.flag != nullptr) != is_flag ||
        (p.object != nullptr) == (is_text || is_flag)) {
      throw "a parameter fills a field of another type than its own";
    }
    if (p.default_text == nullptr) {
      if (optional_seen) throw "a required parameter follows an optional one";
      ++sig.required;
    } else {
      optional_seen = true;
    }
    if (p.keyword_only) {
      if (p.default_text == nullptr) throw "a keyword-only parameter without a default";
      keyword_only_seen = true;
    } else {
      if (keyword_only_seen) throw "a positional parameter follows a keyword-only one";
      ++sig.positional;
    }
  }
  return sig;
}

// Matches a vector call to `params`: matched[i] receives the argument of
// parameter i. Returns false with TypeError set.
bool MatchArgs(const ParamNames& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** matched);

// Matches a tuple-and-dict call (the constructor). Returns false with
// TypeError set.
bool MatchArgs(const ParamNames& params, PyObject* args, PyObject* kwargs, PyObject** matched);

template <class Fields, size_t N>
bool MatchArgs(const Signature<Fields, N>& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Matched<N>* matched) {
  return MatchArgs(sig.Names(), args, nargs, kwnames, matched->data());
}

template <class Fields, size_t N>
bool MatchArgs(const Signature<Fields, N>& sig, PyObject* args, PyObject* kwargs,
               Matched<N>* matched) {
  return MatchArgs(sig.Names(), args, kwargs, matched->data());
}

// One argument converted to its parameter's type: `text` for kStr, `flag`
// for kBool, `object` for the others (null for a None given to kDictOrNone).
struct ArgValue {
  PyObject* object = nullptr;
  std::string_view text;
  bool flag = false;
};

// Converts the supplied argument `o` of the parameter `name`. Returns false
// with the exception set.
bool ConvertArg(const char* name, ParamType type, PyObject* o, ArgValue* out);

// Converts the matched arguments in parameter order into the fields of
// *out; a parameter left out gets its default (null, or the bool default).
// Returns false with the exception set.
template <class Fields, size_t N>
bool ConvertArgs(const Signature<Fields, N>& sig, const Matched<N>& matched, Fields* out) {
  for (size_t i = 0; i < N; ++i) {
    const Param<Fields>& p = sig.params[i];
    ArgValue v;
    v.flag = p.flag_default;
    if (matched[i] != nullptr && !ConvertArg(p.name, p.type, matched[i], &v)) return false;
    if (p.text != nullptr) out->*p.text = v.text;
    if (p.object != nullptr) out->*p.object = v.object;
    if (p.flag != nullptr) out->*p.flag = v.flag;
  }
  return true;
}

// The text signature line of a docstring, "find($self, collection_name,
// maybe_query=None)\n--\n\n", or, for the class (`callee` its name, `self`
// false), "Moxal(name)\n--\n\n": the interpreter shows it as
// __text_signature__, and no docstring besides. Writes it to `out` unless
// that is null; returns its length.
template <class Fields, size_t N>
constexpr size_t WriteTextSignature(const Signature<Fields, N>& sig, const char* callee, bool self,
                                    char* out) {
  size_t n = 0;
  auto append = [&](std::string_view s) {
    for (char c : s) {
      if (out != nullptr) out[n] = c;
      ++n;
    }
  };
  append(callee);
  append(self ? "($self" : "(");
  for (size_t i = 0; i < N; ++i) {
    if (self || i > 0) append(", ");
    if (sig.params[i].keyword_only && (i == 0 || !sig.params[i - 1].keyword_only)) append("*, ");
    append(sig.params[i].name);
    if (sig.params[i].default_text != nullptr) {
      append("=");
      append(sig.params[i].default_text);
    }
  }
  append(")\n--\n\n");
  return n;
}

// The docstring of a method, made as the program is compiled.
template <const auto& kSig>
inline constexpr auto kMethodDoc = [] {
  constexpr size_t kLength = WriteTextSignature(kSig, kSig.method, true, nullptr);
  std::array<char, kLength + 1> text{};
  WriteTextSignature(kSig, kSig.method, true, text.data());
  return text;
}();

// The docstring of the class, from its constructor's signature.
template <const auto& kSig>
inline constexpr auto kClassDoc = [] {
  constexpr size_t kLength = WriteTextSignature(kSig, kClassName, false, nullptr);
  std::array<char, kLength + 1> text{};
  WriteTextSignature(kSig, kClassName, false, text.data());
  return text;
}();

}  // namespace moxal

#endif  // MOXAL_PYTHON_ARGS_H_
