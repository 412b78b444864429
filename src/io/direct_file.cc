#include "io/direct_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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

namespace {

bool same_inode(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The magic link of an open descriptor names its open file, not a path
// that could now lead elsewhere; the inode is compared all the same, for a
// /proc that is not the kernel's.
std::optional<UniqueFd> reopen_through_proc(int fd, int flags) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  UniqueFd out(open_retrying(link, flags));
  if (!out.valid() || !same_inode(fd, out.get())) return std::nullopt;
  return out;
}

}  // namespace

IoResult<DirectFile> reopen_direct(const DirectFile& f, int access, bool try_direct) {
  if (try_direct && !g_refuse_direct_open.load(std::memory_order_relaxed)) {
    if (auto fd = reopen_through_proc(f.file.get(), access | O_DIRECT)) return DirectFile{std::move(*fd), true};
  }
  if (auto fd = reopen_through_proc(f.file.get(), access)) return DirectFile{std::move(*fd), false};
  // A duplicate shares the open file's flags, so it is only taken from a
  // descriptor without O_DIRECT.
  if (f.direct) return std::unexpected(IoError::custom(IoErrorKind::Unsupported, "cannot reopen a direct descriptor"));
  int fd;
  do {
    fd = ::fcntl(f.file.get(), F_DUPFD_CLOEXEC, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  return DirectFile{UniqueFd(fd), false};
}

namespace {

std::atomic<unsigned> g_injected_interrupts{0};

// True (with errno EINTR) when a test asked for this transfer to be
// interrupted before it reaches the kernel.
bool take_injected_interrupt() {
  unsigned left = g_injected_interrupts.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_injected_interrupts.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      errno = EINTR;
      return true;
    }
  }
  return false;
}

// A transfer that a signal interrupted before it moved any byte moved
// nothing, so it is simply repeated; on network and FUSE file systems a
// signal otherwise fails a transfer that would have succeeded.
template <typename Call>
IoResult<std::size_t> retrying_transfer(Call call) {
  ssize_t n;
  do {
    n = take_injected_interrupt() ? -1 : call();
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(n);
}

}  // namespace

void inject_transfer_interrupts_for_testing(unsigned count) {
  g_injected_interrupts.store(count, std::memory_order_relaxed);
}

IoResult<std::size_t> pread_into(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset) {
  return retrying_transfer([&] { return ::pread(f.file.get(), buf.data(), buf.size(), static_cast<off_t>(offset)); });
}

IoResult<std::size_t> pwrite_from(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset) {
  return retrying_transfer(
      [&] { return ::pwrite(f.file.get(), buf.data(), buf.size(), static_cast<off_t>(offset)); });
}

IoError no_progress_error(IoDirection direction, std::uint64_t done, std::uint64_t len, std::uint64_t offset) {
  const std::string counts =
      std::to_string(done) + " of " + std::to_string(len) + " bytes at offset " + std::to_string(offset);
  if (direction == IoDirection::Write)
    return IoError::custom(IoErrorKind::WriteZero, "pwrite_exact: wrote 0 after " + counts);
  return IoError::custom(IoErrorKind::UnexpectedEof, "pread_exact: hit EOF after " + counts);
}

namespace {

// The loop of pread_exact / pwrite_exact: calls until the range is moved,
// the first error, or a call that moves nothing.
template <IoDirection Direction, typename Byte>
IoResult<void> transfer_exact(const DirectFile& f, std::span<Byte> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    IoResult<std::size_t> n;
    if constexpr (Direction == IoDirection::Write) n = pwrite_from(f, buf.subspan(done), offset + done);
    else n = pread_into(f, buf.subspan(done), offset + done);
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return std::unexpected(no_progress_error(Direction, done, buf.size(), offset));
    done += *n;
  }
  return {};
}

}  // namespace

IoResult<void> pread_exact(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset) {
  return transfer_exact<IoDirection::Read>(f, buf, offset);
}

IoResult<void> pwrite_exact(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset) {
  return transfer_exact<IoDirection::Write>(f, buf, offset);
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
