#include "io/direct_file.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>

namespace vesk {

namespace {

constexpr mode_t CREATE_MODE = 0666;

std::atomic<bool> g_refuse_direct_open{false};

// Opens are cheap to repeat, so a signal arriving mid-open never fails one.
int open_retrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, CREATE_MODE);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int write_flags(bool truncate) { return O_WRONLY | (truncate ? O_CREAT | O_TRUNC : 0); }

std::optional<UniqueFd> try_open(const std::string& path, int flags) {
  if (g_refuse_direct_open.load(std::memory_order_relaxed)) return std::nullopt;
  int fd = open_retrying(path, flags | O_DIRECT);
  if (fd < 0) return std::nullopt;
  return UniqueFd(fd);
}

IoResult<DirectFile> open_with_fallback(const std::string& path, std::optional<UniqueFd> direct, int flags) {
  if (direct) return DirectFile{std::move(*direct), true};
  // Whatever refused the direct attempt, the buffered open decides.
  int fd = open_retrying(path, flags);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  return DirectFile{UniqueFd(fd), false};
}

}  // namespace

void set_refuse_direct_open_for_testing(bool refuse) {
  g_refuse_direct_open.store(refuse, std::memory_order_relaxed);
}

std::optional<UniqueFd> try_open_direct(const std::string& path) { return try_open(path, O_RDONLY); }

std::optional<UniqueFd> try_open_direct_write(const std::string& path, bool truncate) {
  return try_open(path, write_flags(truncate));
}

IoResult<DirectFile> open_direct(const std::string& path, bool try_direct) {
  return open_with_fallback(path, try_direct ? try_open_direct(path) : std::nullopt, O_RDONLY);
}

IoResult<DirectFile> open_direct_write(const std::string& path, bool try_direct, bool truncate) {
  return open_with_fallback(path, try_direct ? try_open_direct_write(path, truncate) : std::nullopt,
                            write_flags(truncate));
}

// Positional transfers are not retried on EINTR: the caller sees Interrupted.
IoResult<std::size_t> pread_into(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset) {
  ssize_t n = ::pread(f.file.get(), buf.data(), buf.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(n);
}

IoResult<std::size_t> pwrite_from(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset) {
  ssize_t n = ::pwrite(f.file.get(), buf.data(), buf.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(n);
}

IoResult<void> pread_exact(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    auto n = pread_into(f, buf.subspan(done), offset + done);
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) {
      return std::unexpected(IoError::custom(
          IoErrorKind::UnexpectedEof, "pread_exact: hit EOF after " + std::to_string(done) + " of " +
                                          std::to_string(buf.size()) + " bytes at offset " + std::to_string(offset)));
    }
    done += *n;
  }
  return {};
}

IoResult<void> pwrite_exact(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    auto n = pwrite_from(f, buf.subspan(done), offset + done);
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) {
      return std::unexpected(IoError::custom(
          IoErrorKind::WriteZero, "pwrite_exact: wrote 0 after " + std::to_string(done) + " of " +
                                      std::to_string(buf.size()) + " bytes at offset " + std::to_string(offset)));
    }
    done += *n;
  }
  return {};
}

IoResult<void> truncate(const DirectFile& f, std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(
        IoError::custom(IoErrorKind::InvalidInput, "out of range integral type conversion attempted"));
  }
  int rc;
  do {
    rc = ::ftruncate(f.file.get(), static_cast<off_t>(len));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

namespace {

IoResult<void> fsync_fd(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

}  // namespace

IoResult<void> fsync_file(const DirectFile& f) { return fsync_fd(f.file.get()); }

IoResult<void> fsync_dir(const std::string& dir_path) {
  int fd = open_retrying(dir_path, O_RDONLY);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  UniqueFd dir(fd);
  return fsync_fd(dir.get());
}

}  // namespace vesk
