#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <utility>

#include "io/io_error.h"

namespace vesk {
namespace {

TEST(IoError, MapsErrnoToKind) {
  // A sample across the vocabulary, plus the aliased and unlisted numbers.
  const std::pair<int, IoErrorKind> table[] = {
      {ENOENT, IoErrorKind::NotFound},         {EACCES, IoErrorKind::PermissionDenied},
      {EPERM, IoErrorKind::PermissionDenied},  {EAGAIN, IoErrorKind::WouldBlock},
      {EWOULDBLOCK, IoErrorKind::WouldBlock},  {EINVAL, IoErrorKind::InvalidInput},
      {ENOSPC, IoErrorKind::StorageFull},      {EDQUOT, IoErrorKind::QuotaExceeded},
      {ENAMETOOLONG, IoErrorKind::InvalidFilename}, {EINTR, IoErrorKind::Interrupted},
      {ESTALE, IoErrorKind::StaleNetworkFileHandle}, {EINPROGRESS, IoErrorKind::InProgress},
      {EIO, IoErrorKind::Uncategorized},       {EBADF, IoErrorKind::Uncategorized},
      {0, IoErrorKind::Uncategorized},         {99999, IoErrorKind::Uncategorized},
  };
  for (const auto& [errnum, kind] : table) {
    EXPECT_EQ(io_error_kind_from_errno(errnum), kind) << errnum;
    EXPECT_EQ(IoError::from_errno(errnum).kind(), kind) << errnum;
  }
}

TEST(IoError, DisplaysOsTextWithNumberOrOwnMessage) {
  IoError missing = IoError::from_errno(ENOENT);
  EXPECT_EQ(missing.os_errno(), ENOENT);
  EXPECT_EQ(missing.to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_errno(EINVAL).to_string(), "Invalid argument (os error 22)");
  EXPECT_EQ(IoError::from_errno(99999).to_string(), "Unknown error 99999 (os error 99999)");
  // Number 0 is still an operating-system error, not an empty message.
  EXPECT_EQ(IoError::from_errno(0).to_string(), "Success (os error 0)");

  IoError own = IoError::custom(IoErrorKind::WriteZero, "pwrite_exact: wrote 0");
  EXPECT_EQ(own.kind(), IoErrorKind::WriteZero);
  EXPECT_EQ(own.os_errno(), 0);
  EXPECT_EQ(own.to_string(), "pwrite_exact: wrote 0");
}

TEST(IoError, KindNames) {
  EXPECT_EQ(io_error_kind_name(IoErrorKind::NotFound), "NotFound");
  EXPECT_EQ(io_error_kind_name(IoErrorKind::StaleNetworkFileHandle), "StaleNetworkFileHandle");
  EXPECT_EQ(io_error_kind_name(IoErrorKind::UnexpectedEof), "UnexpectedEof");
  EXPECT_EQ(io_error_kind_name(IoErrorKind::Other), "Other");
  EXPECT_EQ(io_error_kind_name(IoErrorKind::Uncategorized), "Uncategorized");
  // Every kind has a distinct name.
  std::set<std::string_view> names;
  for (int k = 0; k <= static_cast<int>(IoErrorKind::Uncategorized); ++k) {
    names.insert(io_error_kind_name(static_cast<IoErrorKind>(k)));
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(IoErrorKind::Uncategorized) + 1);
}

}  // namespace
}  // namespace vesk
