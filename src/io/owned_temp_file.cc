#include "io/owned_temp_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

constexpr mode_t CREATE_MODE = 0666;
// A round is lost only to another freeze creating or reclaiming the same
// name at the same moment, and each such loss frees the name again.
constexpr int kRounds = 32;

FileIdentity identity_of(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

int open_retrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, CREATE_MODE);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

enum class Lock { Taken, Held, Unavailable };

struct LockAttempt {
  Lock outcome;
  int err;               // for Unavailable: why flock failed
  Clock::duration took;  // how slow this file system's locks are
};

// An exclusive lock, if free. Any failure but "held by another" means
// this file system cannot lock (ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL).
LockAttempt try_lock(int fd) {
  const auto start = Clock::now();
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc < 0 && errno == EINTR);
  const int err = rc == 0 ? 0 : errno;
  const auto took = Clock::now() - start;
  if (rc == 0) return {Lock::Taken, 0, took};
  return {err == EWOULDBLOCK ? Lock::Held : Lock::Unavailable, err, took};
}

// How long a creator may take to lock its new file after creating it, and
// how long a reclaimer may take to remove a file it found unlocked: a few
// lock calls of the speed just seen, and some scheduling slack.
Clock::duration grace_after(Clock::duration lock_call) { return std::chrono::milliseconds(5) + 4 * lock_call; }
Clock::duration patience_after(Clock::duration lock_call) {
  return std::chrono::milliseconds(50) + 2 * grace_after(lock_call) + 4 * lock_call;
}

// The name now leads to `id` (and is no symlink).
bool names(const std::string& path, FileIdentity id) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && identity_of(st) == id;
}

IoError left_alone(const std::string& path, const std::string& what) {
  return IoError::custom(IoErrorKind::AlreadyExists, path + " " + what + "; it is left alone");
}

IoError no_locks(const std::string& path, int err) {
  return IoError::custom(IoErrorKind::ResourceBusy,
                         path + " exists, and whether another freeze of the same target is writing it cannot be "
                                "told: this file system offers no file locks (flock: " +
                             IoError::from_errno(err).to_string() +
                             "); it is left alone (remove it if no freeze of the target is running)");
}

// Locks this freeze's own new file. Only a freeze that found it unlocked
// and took it for stale can hold the lock, and only for a moment (it lets
// go, or removes the file): wait for that, within bounds. Held: it stayed
// held; Unavailable: this file system has no locks.
Lock lock_own(int fd) {
  LockAttempt attempt = try_lock(fd);
  const auto deadline = Clock::now() + patience_after(attempt.took);
  while (attempt.outcome == Lock::Held && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    attempt = try_lock(fd);
  }
  return attempt.outcome;
}

// The file at the name is locked: a running freeze writes it, or one that
// found it stale is removing it. nullopt once the name no longer leads to
// it, so that creation may be tried again.
std::optional<IoError> wait_for_removal(const std::string& path, FileIdentity id, Clock::duration patience) {
  const auto deadline = Clock::now() + patience;
  while (names(path, id)) {
    if (Clock::now() >= deadline)
      return IoError::custom(IoErrorKind::ResourceBusy,
                             path + " is being written by another freeze of the same target");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
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
  const UniqueFd found(fd);
  struct stat st {};
  if (::fstat(found.get(), &st) != 0) return IoError::from_errno(errno);
  const FileIdentity id = identity_of(st);
  if (id != identity_of(seen) || !S_ISREG(st.st_mode) || st.st_nlink != 1) return std::nullopt;

  // Unlocked at a first look, it may be a file created an instant ago
  // whose creator is about to lock it: let go, give the creator its grace
  // period, and look again.
  const LockAttempt first = try_lock(found.get());
  if (first.outcome == Lock::Unavailable) return no_locks(path, first.err);
  if (first.outcome == Lock::Held) return wait_for_removal(path, id, patience_after(first.took));
  (void)::flock(found.get(), LOCK_UN);
  std::this_thread::sleep_for(grace_after(first.took));
  const LockAttempt second = try_lock(found.get());
  if (second.outcome == Lock::Unavailable) return no_locks(path, second.err);
  if (second.outcome == Lock::Held) return wait_for_removal(path, id, patience_after(first.took + second.took));
  // Locked twice: stale. Removed only if the name still leads to it.
  if (!names(path, id)) return std::nullopt;
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
    // Without locks on this file system the file goes on unlocked: nobody
    // takes over a file there. Either way the name must still lead to it.
    if (lock_own(file.file.get()) == Lock::Held || !names(path, id)) continue;
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
