// Preloaded (LD_PRELOAD) into a test's child processes to play a file
// system that locks badly, and to show which directories a freeze syncs:
//   VESK_SHIM_FLOCK_ERRNO=N     every flock fails with errno N (ENOLCK,
//                               EOPNOTSUPP, ENOSYS: NFS without a lock
//                               service, some FUSE file systems)
//   VESK_SHIM_FLOCK_DELAY_MS=M  every flock takes M ms more, before it
//                               reaches the kernel (a loaded network file
//                               system)
//   VESK_SHIM_FSYNC_LOG=PATH    each fsync of a directory appends the
//                               directory's "device:inode" line to PATH
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

long env_number(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : 0;
}

template <typename Fn>
Fn next_definition(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void log_directory_sync(int fd) {
  const char* log = std::getenv("VESK_SHIM_FSYNC_LOG");
  struct stat st {};
  if (log == nullptr || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const std::string line = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "\n";
  const int out = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) return;
  (void)!::write(out, line.data(), line.size());
  ::close(out);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int flock(int fd, int operation) {
  using Fn = int (*)(int, int);
  static const Fn real = next_definition<Fn>("flock");
  if (const long ms = env_number("VESK_SHIM_FLOCK_DELAY_MS"); ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (const long err = env_number("VESK_SHIM_FLOCK_ERRNO"); err > 0) {
    errno = static_cast<int>(err);
    return -1;
  }
  return real(fd, operation);
}

__attribute__((visibility("default"))) int fsync(int fd) {
  using Fn = int (*)(int);
  static const Fn real = next_definition<Fn>("fsync");
  log_directory_sync(fd);
  return real(fd);
}

}  // extern "C"
