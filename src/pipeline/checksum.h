// CRC-32C (Castagnoli) of region payloads: sequential, combined, and split
// across eight threads for pieces of 4 MiB or more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "backend/pinned_buffer.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/types.h"

namespace vesk {

inline constexpr std::size_t kParallelCrcThreshold = 4u << 20;
inline constexpr unsigned kCrcShards = 8;

std::uint32_t crc32c(std::span<const std::byte> bytes);
std::uint32_t crc32c_append(std::uint32_t crc, std::span<const std::byte> bytes);
// CRC of A followed by B from crc(A), crc(B) and len(B).
std::uint32_t crc32c_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t len_b);
// Equals crc32c_append(initial_crc, bytes); throws InternalFailure("crc worker panic").
std::uint32_t crc32c_append_parallel(std::uint32_t initial_crc, std::span<const std::byte> bytes);

// A CRC continued over `bytes`: `crc` goes in as the running value and
// comes out extended.
struct CrcPiece {
  std::span<const std::byte> bytes;
  std::uint32_t crc;
};
// Many pieces at once, the small ones shared out over eight threads (each
// piece of 4 MiB or more is split as crc32c_append_parallel splits it), so
// that a plan of many small regions checksums as fast as one of few large
// ones. Throws InternalFailure("crc worker panic").
void crc32c_append_pieces(std::span<CrcPiece> pieces);

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

// Building blocks, exposed for tests.
namespace detail {
// The library's length parameter is an int: longer input goes in pieces of
// at most `piece` bytes (1 GiB in production).
inline constexpr std::size_t kCrcPieceBytes = std::size_t{1} << 30;
std::uint32_t crc32c_append_in_pieces(std::uint32_t crc, std::span<const std::byte> bytes, std::size_t piece);
// The eight-thread split of crc32c_append_parallel with the per-shard CRC
// supplied by the caller; a shard that throws ends in
// InternalFailure("crc worker panic") after every started thread has been
// joined. A shard whose thread cannot be started runs on the caller.
using ShardCrcFn = std::uint32_t (*)(std::span<const std::byte>);
std::uint32_t crc32c_sharded(std::uint32_t initial_crc, std::span<const std::byte> bytes, ShardCrcFn shard_crc);
}  // namespace detail

}  // namespace vesk
