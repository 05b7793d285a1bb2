// The error of a conversion between Python objects and document values.

#ifndef MOXAL_CONVERSION_CONVERSION_ERROR_H_
#define MOXAL_CONVERSION_CONVERSION_ERROR_H_

#include <cassert>
#include <string>
#include <string_view>
#include <vector>

#include "conversion/py_ref.h"
#include "values/status.h"

namespace moxal {

// Sets `exception` (an instance taken by FetchException) as the current
// exception again; none may be set meanwhile.
void RestoreException(PyRef exception);

class ConversionError {
 public:
  enum class Kind {
    kPyErr,                    // the interpreter raised an exception
    kMessage,                  // a text of our own
    kUnsupportedType,          // a type no row of the conversion fits
    kUnexpectedType,           // "'{type}' object cannot be converted to '{target}'"
    kIncorrectSequenceLength,  // a sequence changed length as it was read
    kInterrupted,              // a signal handler raised an exception meanwhile
  };

  ConversionError() = default;
  ConversionError(ConversionError&&) = default;
  ConversionError& operator=(ConversionError&&) = default;

  // Takes the exception currently set in the interpreter (one must be set).
  static ConversionError FetchPython();
  static ConversionError Message(std::string text);
  static ConversionError UnsupportedType(std::string type_name);
  static ConversionError UnexpectedType(std::string text);
  static ConversionError IncorrectSequenceLength(Py_ssize_t expected, Py_ssize_t got);
  // Takes the exception a signal handler raised (one must be set): not an
  // error of the value, but the end of the call that converts it.
  static ConversionError Interrupted();

  Kind kind() const { return kind_; }
  bool interrupted() const { return kind_ == Kind::kInterrupted; }
  // Sets the exception of an interrupted conversion again (none may be set).
  void RaiseInterruption() {
    assert(interrupted());
    RestoreException(std::move(exception_));
  }
  const std::string& text() const { return text_; }

  // The debug form that error messages carry, for example
  // UnsupportedType("Foo"), IncorrectSequenceLength { expected: 2, got: 3 }
  // or PyErr(PyErr { type: ..., value: ..., traceback: None }).
  std::string Debug() const;

  // Where in the value converted the failure is, step by step outwards:
  // each container the failure was inside adds the index or key of the
  // item that held it, as it gives up (the failure path only).
  void AddIndex(Py_ssize_t index);
  void AddKey(PyObject* key);  // a str; the interpreter lock is held
  // The path to the value that failed, from `root` (an argument's name):
  // documents[3]['items'][1]['b']. Just `root` when the value itself did.
  std::string Path(std::string_view root) const;

  // The error of a Python value that could not become a document value: an
  // internal failure that shows this error's debug form, with a note naming
  // the value that failed when it was inside the argument `root`.
  Status ToStatus(std::string_view root) const;

 private:
  Kind kind_ = Kind::kMessage;
  std::string text_;
  Py_ssize_t expected_ = 0;
  Py_ssize_t got_ = 0;
  PyRef exception_;                 // kPyErr: the exception instance, traceback attached
  std::vector<std::string> steps_;  // "[3]", "['b']": innermost first
};

// The debug form of an exception instance:
// PyErr { type: <repr of its type>, value: <repr>, traceback: None | Some(<repr>) }
std::string ExceptionDebug(PyObject* exception);

// Takes the exception currently set in the interpreter as an instance with
// its traceback attached; null if none is set.
PyRef FetchException();

}  // namespace moxal

#endif  // MOXAL_CONVERSION_CONVERSION_ERROR_H_
