// Operating-system errors and their texts.

#ifndef MOXAL_STORAGE_OS_ERROR_H_
#define MOXAL_STORAGE_OS_ERROR_H_

#include <string>

#include "values/status.h"

namespace moxal {

// An error of a file-system call: an error number, or (code 0) an error
// found before calling the system, such as a path holding a NUL byte.
struct SysError {
  int code = 0;
  const char* kind = nullptr;     // non-system errors: the kind name
  const char* message = nullptr;  // non-system errors: the fixed text

  static SysError FromErrno(int err) { return SysError{err, nullptr, nullptr}; }
  static SysError NulInPath() {
    return SysError{0, "InvalidInput", "file name contained an unexpected NUL byte"};
  }
  // A write that the file accepted no bytes of, without an error.
  static SysError WriteZero() {
    return SysError{0, "WriteZero", "failed to write the buffered data"};
  }
};

// The system's description of error number `err` (strerror).
std::string ErrnoDescription(int err);

// "{description} (os error {code})", or the fixed text of a non-system error.
std::string ShortText(const SysError& e);

// Os { code: 13, kind: PermissionDenied, message: "Permission denied" }, or
// Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }.
std::string DetailText(const SysError& e);

// The kind name of error number `err` ("NotFound", ..., "Uncategorized").
const char* ErrorKindName(int err);

// The error passed on unchanged: its Python type follows the error number.
Status SystemStatus(const SysError& e);
inline Status SystemStatus(int err) { return SystemStatus(SysError::FromErrno(err)); }

}  // namespace moxal

#endif  // MOXAL_STORAGE_OS_ERROR_H_
