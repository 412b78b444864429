// Moving a test file in and out of the page cache, so that a restore sees
// it cold (read from the disk) or warm (as after a copy).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vesk::test {

// Written back and dropped from the cache; false where the file cannot be
// opened.
inline bool evict_from_page_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  ::fdatasync(fd);
  const bool ok = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return ok;
}

// Read once through the cache, as a copy or a download leaves it.
inline bool load_into_page_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  std::vector<char> buf(1 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
  return true;
}

}  // namespace vesk::test
