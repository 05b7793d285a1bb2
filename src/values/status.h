// Error values shared by every layer of moxal.
//
// Operations return a Status (or a Result<T>) instead of throwing. A Status
// names the kind of exception the Python binding will raise and carries the
// message. The values and query layers never include Python.h, so the kind is
// a plain enumeration here; the binding maps it to an exception type in one
// place (src/python/raise.cc).

#ifndef MOXAL_VALUES_STATUS_H_
#define MOXAL_VALUES_STATUS_H_

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace moxal {

enum class ErrorKind : unsigned char {
  kOk = 0,
  kValueError,        // ValueError
  kOSError,           // OSError with a message worded by moxal
  kOSErrorByErrno,    // an operating-system error passed on unchanged: the
                      // exception type is chosen by errno (FileNotFoundError,
                      // PermissionError, ... or OSError), the message is
                      // "{description} (os error {errno})"
  kPanicException,    // PanicException: an internal failure
  kPythonSet,         // a Python exception is already set on the thread
};

class Status {
 public:
  Status() = default;  // success

  static Status ValueError(std::string message) {
    return Status(ErrorKind::kValueError, std::move(message), 0);
  }
  static Status OSError(std::string message) {
    return Status(ErrorKind::kOSError, std::move(message), 0);
  }
  // An operating-system error passed on unchanged; `message` is its short
  // form "{description} (os error {errno})" (or the system's own text when
  // the error has no number, with `err` 0).
  static Status OSErrorByErrno(int err, std::string message) {
    return Status(ErrorKind::kOSErrorByErrno, std::move(message), err);
  }
  static Status PanicException(std::string message) {
    return Status(ErrorKind::kPanicException, std::move(message), 0);
  }
  // An internal failure caused by an error the operation did not expect to
  // meet: its text is "called `Result::unwrap()` on an `Err` value: "
  // followed by a description of `cause` that names its exception type and
  // message, rendered by the method layer, which knows the exception types
  // (raise.h). A cause that is an internal failure already is returned as
  // it is.
  static Status PanicFrom(Status cause) {
    if (cause.kind() == ErrorKind::kPanicException) return cause;
    Status s(ErrorKind::kPanicException, {}, 0);
    s.note_ = cause.note_;
    s.cause_ = std::make_shared<const Status>(std::move(cause));
    return s;
  }
  static Status PythonSet() { return Status(ErrorKind::kPythonSet, {}, 0); }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  int os_errno() const { return errno_; }
  // The error a PanicFrom failure describes, or null.
  const Status* cause() const { return cause_.get(); }

  // A line that tells where the error comes from, such as the file an
  // operation was reading; the method layer adds it to the exception as a
  // note (it is not part of the message). Empty for none.
  const std::string& note() const { return note_; }
  Status&& WithNote(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }

 private:
  Status(ErrorKind kind, std::string message, int err)
      : kind_(kind), errno_(err), message_(std::move(message)) {}

  ErrorKind kind_ = ErrorKind::kOk;
  int errno_ = 0;
  std::string message_;
  std::shared_ptr<const Status> cause_;
  std::string note_;
};

// The texts of the two shapes of internal failure.
inline constexpr const char kUnwrapNone[] =
    "called `Option::unwrap()` on a `None` value";
inline constexpr const char kUnwrapErrPrefix[] =
    "called `Result::unwrap()` on an `Err` value: ";

// A value or the Status that explains why there is none.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  Status&& take_status() { return std::move(status_); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T&& take() { return std::move(*value_); }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace moxal

#endif  // MOXAL_VALUES_STATUS_H_
