#include "pipeline/checksum.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "pipeline/chunk_geometry.h"

namespace vesk {

void accumulate_freeze_crcs(const PinnedBuffer& buf, std::uint64_t chunk_start, std::uint64_t chunk_end,
                            std::uint64_t chunk_buf_base, std::span<const FreezePlan> plan,
                            std::span<std::uint32_t> crcs, ChunkCursor& cursor) {
  const auto bytes = buf.as_slice();
  const std::size_t n = std::min(plan.size(), crcs.size());
  const auto extent = [&](std::size_t i) { return FileExtent{plan[i].file_offset, plan[i].size}; };
  std::vector<CrcPiece> pieces;
  std::vector<std::size_t> owners;
  cursor.walk(n, extent, chunk_start, chunk_end, [&](std::size_t i, const ChunkOverlap& piece) {
    const std::uint64_t at = chunk_start + piece.buf_offset - chunk_buf_base;
    pieces.push_back(CrcPiece{bytes.subspan(at, piece.len), crcs[i]});
    owners.push_back(i);
    return true;
  });
  crc32c_append_pieces(pieces);
  for (std::size_t k = 0; k < pieces.size(); ++k) crcs[owners[k]] = pieces[k].crc;
}

void accumulate_freeze_crcs(const PinnedBuffer& buf, std::uint64_t chunk_start, std::uint64_t chunk_end,
                            std::uint64_t chunk_buf_base, std::span<const FreezePlan> plan,
                            std::span<std::uint32_t> crcs) {
  ChunkCursor cursor;
  accumulate_freeze_crcs(buf, chunk_start, chunk_end, chunk_buf_base, plan, crcs, cursor);
}

std::vector<std::uint8_t> region_table_bytes_with_crcs(std::span<const FreezePlan> plan,
                                                       std::span<const std::uint32_t> crcs) {
  RegionTable table;
  const std::size_t n = std::min(plan.size(), crcs.size());
  for (std::size_t i = 0; i < n; ++i) {
    table.push(RegionEntry{plan[i].kind, plan[i].logical_id, plan[i].size, plan[i].file_offset, crcs[i]});
  }
  return table.to_bytes();
}

bool crc_verification_disabled() {
  const char* value = std::getenv("VESK_VERIFY");
  return value != nullptr && std::strcmp(value, "0") == 0;
}

std::expected<void, RestoreError> fold_and_verify_chunk_crc(std::span<const std::byte> src, std::uint64_t src_base,
                                                            std::uint64_t chunk_start, std::uint64_t chunk_end,
                                                            std::span<const CopyEntry> plan,
                                                            std::span<const std::size_t> file_order,
                                                            std::span<RestoreCrcState> state, ChunkCursor& cursor) {
  if (crc_verification_disabled()) return {};
  const std::size_t n = std::min(file_order.size(), state.size());
  const auto extent = [&](std::size_t k) {
    const CopyEntry& e = plan[file_order[k]];
    return FileExtent{e.file_offset, e.size};
  };
  std::vector<CrcPiece> pieces;
  std::vector<std::size_t> owners;
  cursor.walk(n, extent, chunk_start, chunk_end, [&](std::size_t k, const ChunkOverlap& piece) {
    const std::size_t i = file_order[k];
    if (plan[i].expected_crc32c == 0) return true;
    const std::uint64_t at = chunk_start + piece.buf_offset - src_base;
    pieces.push_back(CrcPiece{src.subspan(at, piece.len), state[i].crc});
    owners.push_back(i);
    return true;
  });
  crc32c_append_pieces(pieces);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const CopyEntry& e = plan[owners[k]];
    RestoreCrcState& st = state[owners[k]];
    st.crc = pieces[k].crc;
    st.bytes_seen += pieces[k].bytes.size();
    // A region spread over several chunks is judged only once its last byte
    // has been folded in.
    if (st.bytes_seen == e.size && st.crc != e.expected_crc32c)
      return std::unexpected(
          RestoreError{RestoreError::ChecksumMismatch{e.kind, e.logical_id, e.expected_crc32c, st.crc}});
  }
  return {};
}

std::expected<void, RestoreError> fold_and_verify_chunk_crc(std::span<const std::byte> src, std::uint64_t src_base,
                                                            std::uint64_t chunk_start, std::uint64_t chunk_end,
                                                            std::span<const CopyEntry> plan,
                                                            std::span<RestoreCrcState> state) {
  const std::size_t n = std::min(plan.size(), state.size());
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return plan[a].file_offset < plan[b].file_offset; });
  ChunkCursor cursor;
  return fold_and_verify_chunk_crc(src, src_base, chunk_start, chunk_end, plan, order, state, cursor);
}

std::expected<void, RestoreError> verify_plan_crcs_from_bytes(std::span<const std::byte> data,
                                                              std::span<const CopyEntry> plan) {
  if (crc_verification_disabled()) return {};
  // Bounds are checked even for entries without a checksum: this pass runs
  // before any device copy, so a truncated snapshot is caught here.
  if (auto ok = check_payload_bounds(plan, data.size()); !ok) return ok;
  std::vector<CrcPiece> pieces;
  std::vector<std::size_t> owners;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const CopyEntry& e = plan[i];
    if (e.expected_crc32c == 0) continue;
    pieces.push_back(CrcPiece{data.subspan(e.file_offset, e.size), 0});
    owners.push_back(i);
  }
  crc32c_append_pieces(pieces);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const CopyEntry& e = plan[owners[k]];
    if (pieces[k].crc != e.expected_crc32c)
      return std::unexpected(
          RestoreError{RestoreError::ChecksumMismatch{e.kind, e.logical_id, e.expected_crc32c, pieces[k].crc}});
  }
  return {};
}

}  // namespace vesk
