#include "io/owned_temp_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace vesk {

namespace {

constexpr mode_t CREATE_MODE = 0666;
// Each round is lost only to another freeze creating or reclaiming the same
// name at the same moment; a few rounds settle any such race.
constexpr int kRounds = 8;

FileIdentity identity_of(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

int open_retrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, CREATE_MODE);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

enum class Lock { Taken, Held, Unsupported };

Lock try_lock(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return Lock::Taken;
  return errno == EWOULDBLOCK ? Lock::Held : Lock::Unsupported;
}

// The name now leads to `id` (and is no symlink).
bool names(const std::string& path, FileIdentity id) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && identity_of(st) == id;
}

IoError left_alone(const std::string& path, const std::string& what) {
  return IoError::custom(IoErrorKind::AlreadyExists, path + " " + what + "; it is left alone");
}

// What sits at `path` is removed if it is the unfinished file of a freeze
// that is gone. nullopt: the name is free (or changed) and creation may be
// tried again.
std::optional<IoError> reclaim(const std::string& path) {
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return IoError::from_errno(errno);
  }
  if (!S_ISREG(seen.st_mode)) return left_alone(path, "exists and is not a regular file");
  if (seen.st_nlink != 1) return left_alone(path, "has other links");

  // Write access, which some file systems want for an exclusive lock; no
  // truncation, and O_NONBLOCK in case it was swapped for a FIFO meanwhile.
  const int fd = open_retrying(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) return left_alone(path, "exists and is not a regular file");
    return IoError::from_errno(errno);
  }
  const UniqueFd stale(fd);
  struct stat st {};
  if (::fstat(stale.get(), &st) != 0) return IoError::from_errno(errno);
  if (identity_of(st) != identity_of(seen) || !S_ISREG(st.st_mode) || st.st_nlink != 1) return std::nullopt;

  if (try_lock(stale.get()) == Lock::Held)
    return IoError::custom(IoErrorKind::ResourceBusy, path + " is being written by another freeze of the same target");
  // Locked (or no locks here): removed only if the name still leads to it.
  if (!names(path, identity_of(st))) return std::nullopt;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return IoError::from_errno(errno);
  return std::nullopt;
}

}  // namespace

IoResult<OwnedTempFile> OwnedTempFile::create(std::string path) {
  for (int round = 0; round < kRounds; ++round) {
    const int fd = open_retrying(path, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0) {
      if (errno != EEXIST) return std::unexpected(IoError::from_errno(errno));
      if (auto e = reclaim(path)) return std::unexpected(std::move(*e));
      continue;
    }
    DirectFile file{UniqueFd(fd), false};
    struct stat st {};
    if (::fstat(file.file.get(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
    const FileIdentity id = identity_of(st);
    // Between the creation and the lock another freeze may have taken this
    // file for stale: it holds the lock, or has already removed the name.
    // That freeze removes it; this one starts over.
    if (try_lock(file.file.get()) == Lock::Held || !names(path, id)) continue;
    return OwnedTempFile(std::move(path), std::move(file), id);
  }
  return std::unexpected(
      IoError::custom(IoErrorKind::ResourceBusy, path + " is being created by other freezes of the same target"));
}

IoResult<void> OwnedTempFile::check_still_named() const {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (identity_of(st) != id_)
    return std::unexpected(IoError::custom(IoErrorKind::Other, path_ + " was replaced while this freeze wrote it"));
  return {};
}

}  // namespace vesk
