// The error of every file operation: a kind from a fixed vocabulary plus
// either the operating system's error number or a message of our own.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "format/io_error_kind.h"

namespace vesk {

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
