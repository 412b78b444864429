#include "backend/page_protection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vesk {

namespace {

// Reads /proc/self/maps line by line through a small buffer and stops at
// the first line past the range: the table is sorted by address, and large
// processes have tens of thousands of mappings.
class MapsReader {
 public:
  MapsReader() : fd_(::open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}
  ~MapsReader() {
    if (fd_ >= 0) ::close(fd_);
  }
  MapsReader(const MapsReader&) = delete;
  MapsReader& operator=(const MapsReader&) = delete;

  bool ok() const { return fd_ >= 0; }

  // The next line without its newline; false at the end or on an error.
  bool next(std::string& line) {
    line.clear();
    for (;;) {
      if (pos_ == len_) {
        ssize_t got = ::read(fd_, buf_, sizeof buf_);
        if (got <= 0) return !line.empty();
        pos_ = 0;
        len_ = static_cast<std::size_t>(got);
      }
      char c = buf_[pos_++];
      if (c == '\n') return true;
      line.push_back(c);
    }
  }

 private:
  int fd_;
  char buf_[4096];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace

RangeAccess range_access(const std::uint8_t* ptr, std::size_t size) {
  MapsReader maps;
  if (!maps.ok() || size == 0) return RangeAccess::Unknown;
  const auto start = reinterpret_cast<std::uintptr_t>(ptr);
  const std::uintptr_t end = start + size;
  std::uintptr_t covered = start;
  bool writable = true;
  std::string line;
  while (covered < end && maps.next(line)) {
    // "lo-hi perms offset dev inode path"
    char* rest = nullptr;
    const std::uintptr_t lo = std::strtoull(line.c_str(), &rest, 16);
    if (*rest != '-') return RangeAccess::Unknown;
    const std::uintptr_t hi = std::strtoull(rest + 1, &rest, 16);
    if (*rest != ' ' || rest[1] == '\0' || rest[2] == '\0') return RangeAccess::Unknown;
    if (hi <= covered) continue;
    if (lo > covered) return RangeAccess::Unknown;  // a hole in the range
    writable = writable && rest[2] == 'w';
    covered = hi;
  }
  if (covered < end) return RangeAccess::Unknown;
  return writable ? RangeAccess::Writable : RangeAccess::ReadOnly;
}

}  // namespace vesk
