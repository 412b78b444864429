// CRC-32C (Castagnoli) split across eight threads for pieces of 4 MiB or
// more, on top of the sequential arithmetic of codec/crc32c.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/crc32c.h"

namespace vesk {

inline constexpr std::size_t kParallelCrcThreshold = 4u << 20;
inline constexpr unsigned kCrcShards = 8;

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
// The eight-thread split of crc32c_append_parallel with the per-shard CRC
// supplied by the caller; a shard that throws ends in
// InternalFailure("crc worker panic") after every started thread has been
// joined. A shard whose thread cannot be started runs on the caller.
using ShardCrcFn = std::uint32_t (*)(std::span<const std::byte>);
std::uint32_t crc32c_sharded(std::uint32_t initial_crc, std::span<const std::byte> bytes, ShardCrcFn shard_crc);
}  // namespace detail

}  // namespace vesk
