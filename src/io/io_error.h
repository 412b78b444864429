// The error of every file operation: a kind from a fixed vocabulary plus
// either the operating system's error number or a message of our own.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vesk {

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  Other,
  Uncategorized,
};

// The kind's name as it appears in messages, e.g. "NotFound".
std::string_view io_error_kind_name(IoErrorKind kind);

// POSIX errno -> kind; unlisted numbers are Uncategorized.
IoErrorKind io_error_kind_from_errno(int errnum);

class IoError {
 public:
  // An operating-system error: kind derived from the number.
  static IoError from_errno(int errnum);
  // An error of our own with its message.
  static IoError custom(IoErrorKind kind, std::string message);

  IoErrorKind kind() const { return kind_; }
  // 0 for errors of our own.
  int os_errno() const { return errno_; }
  // strerror text + " (os error N)" for OS errors, the message otherwise.
  std::string to_string() const;

 private:
  IoError(IoErrorKind kind, bool from_os, int errnum, std::string message)
      : kind_(kind), from_os_(from_os), errno_(errnum), message_(std::move(message)) {}
  IoErrorKind kind_;
  bool from_os_;
  int errno_;
  std::string message_;
};

template <typename T>
using IoResult = std::expected<T, IoError>;

}  // namespace vesk
