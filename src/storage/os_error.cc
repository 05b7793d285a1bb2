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

const char* ErrorKindName(int err) {
  switch (err) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    default:
      return "Uncategorized";
  }
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
