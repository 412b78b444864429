#include "io/io_error.h"

#include <cerrno>
#include <cstring>

namespace vesk {

IoErrorKind io_error_kind_from_errno(int errnum) {
  // EAGAIN and EWOULDBLOCK share a value on Linux; a switch cannot list
  // both, so they are tested apart.
  if (errnum == EAGAIN || errnum == EWOULDBLOCK) return IoErrorKind::WouldBlock;
  switch (errnum) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case EHOSTUNREACH: return IoErrorKind::HostUnreachable;
    case ENETUNREACH: return IoErrorKind::NetworkUnreachable;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case ENOTCONN: return IoErrorKind::NotConnected;
    case EADDRINUSE: return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return IoErrorKind::AddrNotAvailable;
    case ENETDOWN: return IoErrorKind::NetworkDown;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ENOTEMPTY: return IoErrorKind::DirectoryNotEmpty;
    case EROFS: return IoErrorKind::ReadOnlyFilesystem;
    case ELOOP: return IoErrorKind::FilesystemLoop;
    case ESTALE: return IoErrorKind::StaleNetworkFileHandle;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case ENOSPC: return IoErrorKind::StorageFull;
    case ESPIPE: return IoErrorKind::NotSeekable;
    case EDQUOT: return IoErrorKind::QuotaExceeded;
    case EFBIG: return IoErrorKind::FileTooLarge;
    case EBUSY: return IoErrorKind::ResourceBusy;
    case ETXTBSY: return IoErrorKind::ExecutableFileBusy;
    case EDEADLK: return IoErrorKind::Deadlock;
    case EXDEV: return IoErrorKind::CrossesDevices;
    case EMLINK: return IoErrorKind::TooManyLinks;
    case ENAMETOOLONG: return IoErrorKind::InvalidFilename;
    case E2BIG: return IoErrorKind::ArgumentListTooLong;
    case EINTR: return IoErrorKind::Interrupted;
    case ENOSYS: return IoErrorKind::Unsupported;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case EINPROGRESS: return IoErrorKind::InProgress;
    default: return IoErrorKind::Uncategorized;
  }
}

namespace {

// strerror_r comes in two shapes (GNU returns the text, XSI fills the
// buffer and returns a status); overloads pick whichever the C library has.
[[maybe_unused]] const char* strerror_result(const char* gnu_text, const char*) { return gnu_text; }
[[maybe_unused]] const char* strerror_result(int xsi_status, const char* buf) {
  return xsi_status == 0 ? buf : nullptr;
}

std::string os_error_text(int errnum) {
  char buf[256] = {};
  const char* text = strerror_result(strerror_r(errnum, buf, sizeof buf), buf);
  std::string out = text != nullptr ? text : "Unknown error " + std::to_string(errnum);
  out += " (os error " + std::to_string(errnum) + ")";
  return out;
}

}  // namespace

IoError IoError::from_errno(int errnum) { return IoError(io_error_kind_from_errno(errnum), true, errnum, {}); }

IoError IoError::custom(IoErrorKind kind, std::string message) { return IoError(kind, false, 0, std::move(message)); }

std::string IoError::to_string() const { return from_os_ ? os_error_text(errno_) : message_; }

}  // namespace vesk
