// Error values shared by every layer of moxal.
//
// Operations return a Status instead of throwing (a result comes back
// through an out-parameter, filled only when the Status is ok). A Status
// says what went wrong and carries the message users see; the binding
// chooses the exception type from the kind, in one place
// (src/python/raise.cc). Running out of memory is not a Status: it throws
// std::bad_alloc, which the binding turns into MemoryError.

#ifndef MOXAL_VALUES_STATUS_H_
#define MOXAL_VALUES_STATUS_H_

#include <cassert>
#include <memory>
#include <string>
#include <utility>

namespace moxal {

// What went wrong. The binding maps each kind to the Python exception it
// raises, in one table (src/python/raise.cc), which also says why the
// surprising ones are what they are.
enum class ErrorKind : unsigned char {
  kOk = 0,
  kInvalidArgument,  // an argument the operation cannot use (a collection name)
  kNotFound,         // the collection named is neither in memory nor on disk
  kInvalidQuery,     // a query met a value its operator cannot compare
  kQuerySyntax,      // a query or update query could not be parsed
  kInvalidDocument,  // a file's text is not the JSON value it must be
  kTooDeep,          // a change would nest a document past the nesting limit
  kUnconvertible,    // a Python value that no document value stands for
  kOpenFailed,       // a file to read could not be opened (message worded here)
  kWriteFailed,      // producing a collection file's text failed
  kFlushFailed,      // the last bytes of a collection file could not be written
  kStorageFailed,    // creating, syncing or renaming a file failed (worded here)
  kSystem,           // an operating-system error passed on unchanged: the
                     // exception type follows errno, the message is
                     // "{description} (os error {errno})"
  kNotUtf8,          // a file name that is not valid UTF-8
  kInternal,         // a state the operation treats as impossible
};

// The result of an operation: success, or what went wrong and its message.
// A Status must be looked at; the one place that drops one says so.
class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status InvalidArgument(std::string message) {
    return Status(ErrorKind::kInvalidArgument, std::move(message));
  }
  static Status NotFound(std::string message) {
    return Status(ErrorKind::kNotFound, std::move(message));
  }
  static Status InvalidQuery(std::string message) {
    return Status(ErrorKind::kInvalidQuery, std::move(message));
  }
  static Status QuerySyntax(std::string message) {
    return Status(ErrorKind::kQuerySyntax, std::move(message));
  }
  static Status InvalidDocument(std::string message) {
    return Status(ErrorKind::kInvalidDocument, std::move(message));
  }
  static Status TooDeep(std::string message) {
    return Status(ErrorKind::kTooDeep, std::move(message));
  }
  static Status Unconvertible(std::string message) {
    return Status(ErrorKind::kUnconvertible, std::move(message));
  }
  static Status OpenFailed(std::string message) {
    return Status(ErrorKind::kOpenFailed, std::move(message));
  }
  static Status WriteFailed(std::string message) {
    return Status(ErrorKind::kWriteFailed, std::move(message));
  }
  static Status FlushFailed(std::string message) {
    return Status(ErrorKind::kFlushFailed, std::move(message));
  }
  static Status StorageFailed(std::string message) {
    return Status(ErrorKind::kStorageFailed, std::move(message));
  }
  // An operating-system error passed on unchanged; `message` is its short
  // form "{description} (os error {errno})" (or the system's own text when
  // the error has no number, with `err` 0).
  static Status System(int err, std::string message) {
    Status s(ErrorKind::kSystem, std::move(message));
    s.errno_ = err;
    return s;
  }
  static Status NotUtf8(std::string message) {
    return Status(ErrorKind::kNotUtf8, std::move(message));
  }
  static Status Internal(std::string message) {
    return Status(ErrorKind::kInternal, std::move(message));
  }
  // An internal failure caused by an error the operation did not expect to
  // meet: its text is "called `Result::unwrap()` on an `Err` value: "
  // followed by a description of `cause` that names its exception type and
  // message, rendered by the binding, which knows the exception types. A
  // cause that is an internal failure already is returned as it is.
  static Status InternalFrom(Status cause) {
    if (cause.kind() == ErrorKind::kInternal) return cause;
    Status s(ErrorKind::kInternal, {});
    s.note_ = cause.note_;
    s.cause_ = std::make_shared<const Status>(std::move(cause));
    return s;
  }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  int os_errno() const { return errno_; }
  // The error an InternalFrom failure describes, or null.
  const Status* cause() const { return cause_.get(); }

  // A line that tells where the error comes from, such as the file an
  // operation was reading; the binding adds it to the exception as a note
  // (it is not part of the message). Empty for none.
  const std::string& note() const { return note_; }
  Status&& WithNote(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }
  // Puts `where` (what the operation was doing) before the note there is:
  // "where: note", or `where` alone.
  Status&& WithNoteBefore(std::string where) && {
    note_ = note_.empty() ? std::move(where) : std::move(where) + ": " + note_;
    return std::move(*this);
  }

 private:
  Status(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_ = ErrorKind::kOk;
  int errno_ = 0;
  std::string message_;
  std::shared_ptr<const Status> cause_;
  std::string note_;
};

// The texts of the two shapes of internal failure.
inline constexpr const char kUnwrapNone[] = "called `Option::unwrap()` on a `None` value";
inline constexpr const char kUnwrapErrPrefix[] = "called `Result::unwrap()` on an `Err` value: ";

}  // namespace moxal

#endif  // MOXAL_VALUES_STATUS_H_
