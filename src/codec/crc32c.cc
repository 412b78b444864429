#include "codec/crc32c.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <array>
#include <climits>

namespace vesk {

namespace {

// CRC-32C polynomial, bit-reflected.
constexpr std::uint32_t kPolyReflected = 0x82F63B78u;

// a(x) * b(x) mod P(x) on reflected representations (bit 31 is x^0).
constexpr std::uint32_t multmodp(std::uint32_t a, std::uint32_t b) {
  std::uint32_t m = 1u << 31;
  std::uint32_t p = 0;
  for (;;) {
    if (a & m) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = (b & 1) ? (b >> 1) ^ kPolyReflected : b >> 1;
  }
  return p;
}

// Lengths are 64-bit and counted in bits (k starts at 3), so powers up to
// x^(2^66) are needed; the table does not rely on the order of x mod P.
constexpr std::size_t kX2nEntries = 67;

constexpr std::array<std::uint32_t, kX2nEntries> make_x2n_table() {
  std::array<std::uint32_t, kX2nEntries> table{};
  std::uint32_t p = 1u << 30;  // x^1
  for (auto& entry : table) {
    entry = p;
    p = multmodp(p, p);
  }
  return table;
}

// table[k] = x^(2^k) mod P.
constexpr auto kX2nTable = make_x2n_table();

// x^(n * 2^k) mod P in O(log n) multiplications.
std::uint32_t x2nmodp(std::uint64_t n, unsigned k) {
  std::uint32_t p = 1u << 31;  // x^0
  while (n != 0) {
    if (n & 1) p = multmodp(kX2nTable[k], p);
    n >>= 1;
    ++k;
  }
  return p;
}

}  // namespace

namespace detail {

std::uint32_t crc32c_append_in_pieces(std::uint32_t crc, std::span<const std::byte> bytes, std::size_t piece) {
  piece = std::clamp<std::size_t>(piece, 1, INT_MAX);
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), piece);
    // The library neither inverts on entry nor on exit; the finished-CRC
    // convention (all-ones start, final XOR) is applied here.
    auto* p = reinterpret_cast<unsigned char*>(const_cast<std::byte*>(bytes.data()));
    crc = ~crc32_iscsi(p, static_cast<int>(n), ~crc);
    bytes = bytes.subspan(n);
  }
  return crc;
}

}  // namespace detail

std::uint32_t crc32c_append(std::uint32_t crc, std::span<const std::byte> bytes) {
  return detail::crc32c_append_in_pieces(crc, bytes, detail::kCrcPieceBytes);
}

std::uint32_t crc32c(std::span<const std::byte> bytes) { return crc32c_append(0, bytes); }

std::uint32_t crc32c_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t len_b) {
  // Appending len_b bytes multiplies crc(A) by x^(8 len_b); the pre- and
  // post-inversions of the two halves cancel out.
  return multmodp(x2nmodp(len_b, 3), crc_a) ^ crc_b;
}

}  // namespace vesk
