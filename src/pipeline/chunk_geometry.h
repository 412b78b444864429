// The geometry of every staged transfer: the alignment of direct I/O, the
// file range a transfer moves and its chunks, where a region's bytes meet
// one chunk (the piece of the region inside [chunk_start, chunk_end) goes
// between buffer offset (overlap start - chunk start) and device offset
// (overlap start - the region's file offset)), the cursor that lets each
// chunk find its pieces without scanning the whole plan, and the bounds
// check of payloads held in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>

#include "pipeline/types.h"

namespace vesk {

// The alignment unit of direct I/O in the pipelines.
inline constexpr std::uint64_t kAlign = 4096;

inline std::uint64_t round_up_4096(std::uint64_t n) { return (n + kAlign - 1) / kAlign * kAlign; }
inline std::uint64_t round_down_4096(std::uint64_t n) { return n / kAlign * kAlign; }

// End of [offset, offset + size); a sum that does not fit saturates, so it
// lies past any buffer and any file.
inline std::uint64_t saturating_end(std::uint64_t offset, std::uint64_t size) {
  std::uint64_t end = 0;
  if (__builtin_add_overflow(offset, size, &end)) return std::numeric_limits<std::uint64_t>::max();
  return end;
}

// The file bytes [start, start + len) moved in chunks of `chunk_size`; chunk
// i covers [chunk_start(i), chunk_end(i)), the last one possibly short.
struct ChunkRange {
  std::uint64_t start = 0;
  std::uint64_t len = 0;
  std::uint64_t chunk_size = 0;

  std::uint64_t num_chunks() const { return len / chunk_size + (len % chunk_size != 0 ? 1 : 0); }
  std::uint64_t chunk_start(std::uint64_t i) const { return start + i * chunk_size; }
  std::uint64_t chunk_len(std::uint64_t i) const { return std::min(chunk_size, len - i * chunk_size); }
  std::uint64_t chunk_end(std::uint64_t i) const { return chunk_start(i) + chunk_len(i); }
};

// True when some entry's payload ends past the largest file offset.
bool payload_end_overflows(std::span<const CopyEntry> plan);

// The range that holds every payload of a restore: from the block holding
// the smallest offset (not the first entry's: a table out of file order
// must not leave bytes of earlier-placed regions unmoved) to the largest
// end, which saturates where it does not fit. The plan is not empty.
ChunkRange payload_chunks(std::span<const CopyEntry> plan, std::uint64_t chunk_size);

// Every payload must lie inside the `len` bytes held in memory before a
// checksum is computed over it or a device copy reads it: the table is
// untrusted input. The first entry that does not gives PayloadOutOfBounds.
std::expected<void, RestoreError> check_payload_bounds(std::span<const CopyEntry> plan, std::uint64_t len);

struct ChunkOverlap {
  std::uint64_t buf_offset;
  std::uint64_t dev_offset;
  std::uint64_t len;
};

inline std::optional<ChunkOverlap> chunk_overlap(std::uint64_t file_offset, std::uint64_t size,
                                                 std::uint64_t chunk_start, std::uint64_t chunk_end) {
  const std::uint64_t region_end = saturating_end(file_offset, size);
  if (region_end <= chunk_start || file_offset >= chunk_end) return std::nullopt;
  const std::uint64_t overlap_start = std::max(chunk_start, file_offset);
  const std::uint64_t overlap_end = std::min(chunk_end, region_end);
  return ChunkOverlap{overlap_start - chunk_start, overlap_start - file_offset, overlap_end - overlap_start};
}

struct FileExtent {
  std::uint64_t offset;
  std::uint64_t size;
};

// Walks items ordered by file offset through chunks visited in increasing
// order: each chunk starts where the previous one left off, so a transfer
// of n items in c chunks costs n + c steps instead of n × c. Items may
// overlap (an untrusted table); the walk stays exact, only slower.
class ChunkCursor {
 public:
  // Calls fn(i, overlap) for every item i that has bytes in
  // [chunk_start, chunk_end), in order; `extent(i)` gives item i's range. A
  // false from fn ends the walk and is returned.
  template <typename Extent, typename Fn>
  bool walk(std::size_t count, Extent extent, std::uint64_t chunk_start, std::uint64_t chunk_end, Fn fn) {
    while (next_ < count) {
      const FileExtent e = extent(next_);
      if (saturating_end(e.offset, e.size) > chunk_start) break;
      ++next_;
    }
    for (std::size_t i = next_; i < count; ++i) {
      const FileExtent e = extent(i);
      if (e.offset >= chunk_end) break;
      if (const auto piece = chunk_overlap(e.offset, e.size, chunk_start, chunk_end))
        if (!fn(i, *piece)) return false;
    }
    return true;
  }

 private:
  std::size_t next_ = 0;
};

}  // namespace vesk
