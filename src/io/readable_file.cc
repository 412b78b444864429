#include "io/readable_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

namespace vesk {

namespace {

const char* type_name(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  return "not a file";
}

int fcntl_retrying(int fd, int cmd, int arg) {
  int rc;
  do {
    rc = ::fcntl(fd, cmd, arg);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

IoResult<DirectFile> open_readable_file(const std::string& path) {
  int fd;
  do {
    // O_NONBLOCK: a FIFO without a writer would otherwise block this open.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  UniqueFd file(fd);

  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (S_ISDIR(st.st_mode)) return std::unexpected(IoError::from_errno(EISDIR));
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return std::unexpected(IoError::custom(
        IoErrorKind::InvalidInput, path + " is " + type_name(st.st_mode) + ", not a regular file or block device"));
  }
  const int flags = fcntl_retrying(file.get(), F_GETFL, 0);
  if (flags < 0 || fcntl_retrying(file.get(), F_SETFL, flags & ~O_NONBLOCK) < 0)
    return std::unexpected(IoError::from_errno(errno));
  return DirectFile{std::move(file), false};
}

IoResult<std::uint64_t> readable_length(const DirectFile& f) {
  struct stat st {};
  if (::fstat(f.file.get(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (!S_ISBLK(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
  std::uint64_t bytes = 0;
  if (::ioctl(f.file.get(), BLKGETSIZE64, &bytes) != 0) return std::unexpected(IoError::from_errno(errno));
  return bytes;
}

}  // namespace vesk
