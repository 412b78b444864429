// The checksums of a transfer's regions: accumulated chunk by chunk as a
// freeze writes them or a restore reads them, and verified against the
// table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "backend/pinned_buffer.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/crc32c.h"
#include "pipeline/types.h"

namespace vesk {

struct RestoreCrcState {
  std::uint32_t crc = 0;
  std::uint64_t bytes_seen = 0;
};

// Folds the bytes of every region piece in [chunk_start, chunk_end) into
// its running CRC; buffer byte 0 holds file byte `chunk_buf_base`. Chunks
// come in increasing order, each walk continuing from `cursor`.
void accumulate_freeze_crcs(const PinnedBuffer& buf, std::uint64_t chunk_start, std::uint64_t chunk_end,
                            std::uint64_t chunk_buf_base, std::span<const FreezePlan> plan,
                            std::span<std::uint32_t> crcs, ChunkCursor& cursor);
// One chunk on its own (walks the plan from its start).
void accumulate_freeze_crcs(const PinnedBuffer& buf, std::uint64_t chunk_start, std::uint64_t chunk_end,
                            std::uint64_t chunk_buf_base, std::span<const FreezePlan> plan,
                            std::span<std::uint32_t> crcs);
std::vector<std::uint8_t> region_table_bytes_with_crcs(std::span<const FreezePlan> plan,
                                                       std::span<const std::uint32_t> crcs);
// True exactly when VESK_VERIFY is "0"; read at every call.
bool crc_verification_disabled();
// Folds one chunk into the running CRCs of the regions it holds (src byte 0
// is file byte `src_base`) and judges each region whose last byte it
// held. Regions are visited through `file_order` (plan indices by file
// offset), chunks in increasing order, each walk continuing from `cursor`;
// `state` is indexed like the plan.
std::expected<void, RestoreError> fold_and_verify_chunk_crc(std::span<const std::byte> src, std::uint64_t src_base,
                                                            std::uint64_t chunk_start, std::uint64_t chunk_end,
                                                            std::span<const CopyEntry> plan,
                                                            std::span<const std::size_t> file_order,
                                                            std::span<RestoreCrcState> state, ChunkCursor& cursor);
// One chunk on its own, the plan in any order.
std::expected<void, RestoreError> fold_and_verify_chunk_crc(std::span<const std::byte> src, std::uint64_t src_base,
                                                            std::uint64_t chunk_start, std::uint64_t chunk_end,
                                                            std::span<const CopyEntry> plan,
                                                            std::span<RestoreCrcState> state);
// Callers check bounds first; still, a payload that does not lie inside
// `data` gives PayloadOutOfBounds and is never read.
std::expected<void, RestoreError> verify_plan_crcs_from_bytes(std::span<const std::byte> data,
                                                              std::span<const CopyEntry> plan);


}  // namespace vesk
