// Which parts of a file sit in the kernel's page cache. Direct reads
// bypass the cache and go to the disk even for a file that a download or a
// copy has just left there; asking first lets a reader take the cached
// part at memory speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// A read-only mapping of the file used only to ask mincore; nothing is
// ever read through it, so a file that shrinks meanwhile cannot fault.
class PageCacheProbe {
 public:
  // Maps the whole file; a file that cannot be mapped (empty, a device, a
  // refusal) gives a probe that reports nothing resident.
  static PageCacheProbe of(int fd);

  PageCacheProbe(PageCacheProbe&& other) noexcept;
  PageCacheProbe& operator=(PageCacheProbe&&) = delete;
  PageCacheProbe(const PageCacheProbe&) = delete;
  PageCacheProbe& operator=(const PageCacheProbe&) = delete;
  ~PageCacheProbe();

  // Bytes of file range [offset, offset + len) on resident pages, counted
  // in whole pages (so at most len rounded out to pages); 0 where unknown.
  std::uint64_t resident_bytes(std::uint64_t offset, std::uint64_t len) const;

 private:
  PageCacheProbe(void* base, std::size_t len) : base_(base), len_(len) {}
  void* base_;
  std::size_t len_;
};

}  // namespace vesk
