#include "io/page_cache.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace vesk {

PageCacheProbe PageCacheProbe::of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return PageCacheProbe(nullptr, 0);
  const auto len = static_cast<std::size_t>(st.st_size);
  void* base = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return PageCacheProbe(nullptr, 0);
  return PageCacheProbe(base, len);
}

PageCacheProbe::PageCacheProbe(PageCacheProbe&& other) noexcept : base_(other.base_), len_(other.len_) {
  other.base_ = nullptr;
  other.len_ = 0;
}

PageCacheProbe::~PageCacheProbe() {
  if (base_ != nullptr) ::munmap(base_, len_);
}

std::uint64_t PageCacheProbe::resident_bytes(std::uint64_t offset, std::uint64_t len) const {
  if (base_ == nullptr || offset >= len_) return 0;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t end = std::min<std::uint64_t>(len_, offset + std::min<std::uint64_t>(len, len_ - offset));
  const std::uint64_t first = offset / page * page;
  const std::size_t pages = static_cast<std::size_t>((end - first + page - 1) / page);
  std::vector<unsigned char> resident(pages);
  if (::mincore(static_cast<unsigned char*>(base_) + first, static_cast<std::size_t>(end - first), resident.data()) != 0)
    return 0;
  const auto count = std::count_if(resident.begin(), resident.end(), [](unsigned char v) { return (v & 1) != 0; });
  return static_cast<std::uint64_t>(count) * page;
}

}  // namespace vesk
