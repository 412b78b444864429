// CRC-32C (Castagnoli): sequential, continued, combined, and split across
// eight threads for pieces of 4 MiB or more. Finished-CRC convention
// throughout: crc32c of no bytes is 0, and crc32c_append(crc32c(A), B)
// equals crc32c(A followed by B).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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
