#include "storage/os_error.h"

#include <cerrno>
#include <cstring>

#include "values/debug_text.h"

namespace moxal {

std::string ErrnoDescription(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text;
}

std::string ShortText(const SysError& e) {
  if (e.code == 0 && e.message != nullptr) return e.message;
  return ErrnoDescription(e.code) + " (os error " + std::to_string(e.code) + ")";
}

namespace {

// The kind of each error number that has a name of its own; the others
// are "Uncategorized".
struct ErrnoKind {
  int err;
  const char* name;
};
constexpr ErrnoKind kErrnoKinds[] = {
    {EPERM, "PermissionDenied"},
    {EACCES, "PermissionDenied"},
    {ENOENT, "NotFound"},
    {EINTR, "Interrupted"},
    {E2BIG, "ArgumentListTooLong"},
    {EAGAIN, "WouldBlock"},
    {ENOMEM, "OutOfMemory"},
    {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},
    {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},
    {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},
    {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},
    {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},
    {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},
    {EPIPE, "BrokenPipe"},
    {EDEADLK, "Deadlock"},
    {ENAMETOOLONG, "InvalidFilename"},
    {ENOSYS, "Unsupported"},
    {ENOTEMPTY, "DirectoryNotEmpty"},
    {ELOOP, "FilesystemLoop"},
    {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"},
    {ECONNABORTED, "ConnectionAborted"},
    {ECONNRESET, "ConnectionReset"},
    {ENOTCONN, "NotConnected"},
    {ETIMEDOUT, "TimedOut"},
    {ECONNREFUSED, "ConnectionRefused"},
    {EHOSTUNREACH, "HostUnreachable"},
    {ESTALE, "StaleNetworkFileHandle"},
    {EDQUOT, "FilesystemQuotaExceeded"},
};

}  // namespace

const char* ErrorKindName(int err) {
  for (const ErrnoKind& k : kErrnoKinds) {
    if (k.err == err) return k.name;
  }
  return "Uncategorized";
}

std::string DetailText(const SysError& e) {
  if (e.code == 0 && e.message != nullptr) {
    return std::string("Error { kind: ") + e.kind + ", message: " + DebugQuote(e.message) + " }";
  }
  return "Os { code: " + std::to_string(e.code) + ", kind: " + ErrorKindName(e.code) +
         ", message: " + DebugQuote(ErrnoDescription(e.code)) + " }";
}

Status SystemStatus(const SysError& e) { return Status::System(e.code, ShortText(e)); }

}  // namespace moxal
