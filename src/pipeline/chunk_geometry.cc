#include "pipeline/chunk_geometry.h"

namespace vesk {

bool payload_end_overflows(std::span<const CopyEntry> plan) {
  return std::any_of(plan.begin(), plan.end(), [](const CopyEntry& e) {
    return e.size > std::numeric_limits<std::uint64_t>::max() - e.file_offset;
  });
}

ChunkRange payload_chunks(std::span<const CopyEntry> plan, std::uint64_t chunk_size) {
  std::uint64_t payload_start = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t payload_end = 0;
  for (const CopyEntry& e : plan) {
    payload_start = std::min(payload_start, e.file_offset);
    payload_end = std::max(payload_end, saturating_end(e.file_offset, e.size));
  }
  const std::uint64_t start = round_down_4096(payload_start);
  return ChunkRange{start, payload_end - start, chunk_size};
}

std::expected<void, RestoreError> check_payload_bounds(std::span<const CopyEntry> plan, std::uint64_t len) {
  for (const CopyEntry& e : plan) {
    const std::uint64_t end = saturating_end(e.file_offset, e.size);
    if (end > len) {
      return std::unexpected(RestoreError{RestoreError::PayloadOutOfBounds{
          static_cast<std::size_t>(len),
          static_cast<std::size_t>(std::min<std::uint64_t>(end, std::numeric_limits<std::size_t>::max()))}});
    }
  }
  return {};
}

}  // namespace vesk
