// Where a region's bytes meet one chunk of a staged transfer: the piece of
// the region inside [chunk_start, chunk_end) goes between buffer offset
// (overlap start - chunk start) and device offset (overlap start - the
// region's file offset). Shared by every staging pipeline.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace vesk {

// The alignment unit of direct I/O in the pipelines.
inline constexpr std::uint64_t kAlign = 4096;

inline std::uint64_t round_up_4096(std::uint64_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

struct ChunkOverlap {
  std::uint64_t buf_offset;
  std::uint64_t dev_offset;
  std::uint64_t len;
};

inline std::optional<ChunkOverlap> chunk_overlap(std::uint64_t file_offset, std::uint64_t size,
                                                 std::uint64_t chunk_start, std::uint64_t chunk_end) {
  const std::uint64_t region_end = file_offset + size;
  if (region_end <= chunk_start || file_offset >= chunk_end) return std::nullopt;
  const std::uint64_t overlap_start = std::max(chunk_start, file_offset);
  const std::uint64_t overlap_end = std::min(chunk_end, region_end);
  return ChunkOverlap{overlap_start - chunk_start, overlap_start - file_offset, overlap_end - overlap_start};
}

}  // namespace vesk
