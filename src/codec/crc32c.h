// CRC-32C (Castagnoli) of a byte range: sequential, continued and combined.
// Finished-CRC convention throughout: crc32c of no bytes is 0, and
// crc32c_append(crc32c(A), B) equals crc32c(A followed by B). The
// eight-thread split for large pieces is built on these in the pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk {

std::uint32_t crc32c(std::span<const std::byte> bytes);
std::uint32_t crc32c_append(std::uint32_t crc, std::span<const std::byte> bytes);
// CRC of A followed by B from crc(A), crc(B) and len(B).
std::uint32_t crc32c_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t len_b);

// Building blocks, exposed for tests.
namespace detail {
// The library's length parameter is an int: longer input goes in pieces of
// at most `piece` bytes (1 GiB in production).
inline constexpr std::size_t kCrcPieceBytes = std::size_t{1} << 30;
std::uint32_t crc32c_append_in_pieces(std::uint32_t crc, std::span<const std::byte> bytes, std::size_t piece);
}  // namespace detail

}  // namespace vesk
