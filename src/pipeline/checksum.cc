#include "pipeline/checksum.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <thread>

#include "pipeline/chunk_geometry.h"
#include "pipeline/worker_thread.h"

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

std::uint32_t crc32c_sharded(std::uint32_t initial_crc, std::span<const std::byte> bytes, ShardCrcFn shard_crc) {
  const std::size_t shard_len = bytes.size() / kCrcShards;
  auto shard = [&](unsigned i) {
    const std::size_t begin = i * shard_len;
    return i + 1 == kCrcShards ? bytes.subspan(begin) : bytes.subspan(begin, shard_len);
  };

  std::array<std::uint32_t, kCrcShards> crcs{};
  std::array<bool, kCrcShards> done{};  // each written only by its own shard, read after join
  // An exception must not escape a thread (that would end the process); it
  // is reported as a missing shard instead.
  auto run_shard = [&](unsigned i) noexcept {
    try {
      crcs[i] = shard_crc(shard(i));
      done[i] = true;
    } catch (...) {
    }
  };
  {
    std::array<std::optional<std::jthread>, kCrcShards> threads;
    for (unsigned i = 1; i < kCrcShards; ++i) threads[i] = try_start_worker([&run_shard, i] { run_shard(i); });
    run_shard(0);
    // A shard whose thread could not start is computed here.
    for (unsigned i = 1; i < kCrcShards; ++i) {
      if (threads[i]) threads[i]->join();
      else run_shard(i);
    }
  }

  if (!std::all_of(done.begin(), done.end(), [](bool d) { return d; })) {
    throw InternalFailure("crc worker panic");
  }
  std::uint32_t crc = initial_crc;
  for (unsigned i = 0; i < kCrcShards; ++i) crc = crc32c_combine(crc, crcs[i], shard(i).size());
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

std::uint32_t crc32c_append_parallel(std::uint32_t initial_crc, std::span<const std::byte> bytes) {
  if (bytes.size() < kParallelCrcThreshold) return crc32c_append(initial_crc, bytes);
  return detail::crc32c_sharded(initial_crc, bytes, &crc32c);
}

void crc32c_append_pieces(std::span<CrcPiece> pieces) {
  // Large pieces are split by crc32c_append_parallel itself; the small ones
  // are shared out by bytes, one group per thread, each group a
  // consecutive range of pieces.
  std::uint64_t small_bytes = 0;
  for (const CrcPiece& p : pieces)
    if (p.bytes.size() < kParallelCrcThreshold) small_bytes += p.bytes.size();
  for (CrcPiece& p : pieces)
    if (p.bytes.size() >= kParallelCrcThreshold) p.crc = crc32c_append_parallel(p.crc, p.bytes);
  if (small_bytes == 0) return;

  auto run_group = [&pieces](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      if (pieces[i].bytes.size() < kParallelCrcThreshold) pieces[i].crc = crc32c_append(pieces[i].crc, pieces[i].bytes);
  };
  if (small_bytes < kParallelCrcThreshold) {
    run_group(0, pieces.size());
    return;
  }
  std::array<std::size_t, kCrcShards + 1> bounds{};
  {
    const std::uint64_t share = (small_bytes + kCrcShards - 1) / kCrcShards;
    std::uint64_t seen = 0;
    unsigned group = 1;
    for (std::size_t i = 0; i < pieces.size() && group < kCrcShards; ++i) {
      if (pieces[i].bytes.size() < kParallelCrcThreshold) seen += pieces[i].bytes.size();
      while (group < kCrcShards && seen >= share * group) bounds[group++] = i + 1;
    }
    for (; group <= kCrcShards; ++group) bounds[group] = pieces.size();
  }
  std::array<bool, kCrcShards> done{};
  auto work = [&](unsigned g) noexcept {
    try {
      run_group(bounds[g], bounds[g + 1]);
      done[g] = true;
    } catch (...) {
    }
  };
  {
    std::array<std::optional<std::jthread>, kCrcShards> threads;
    for (unsigned g = 1; g < kCrcShards; ++g) threads[g] = try_start_worker([&work, g] { work(g); });
    work(0);
    for (unsigned g = 1; g < kCrcShards; ++g) {
      if (threads[g]) threads[g]->join();
      else work(g);
    }
  }
  if (!std::all_of(done.begin(), done.end(), [](bool d) { return d; })) throw InternalFailure("crc worker panic");
}

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
  std::vector<CrcPiece> pieces;
  std::vector<std::size_t> owners;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const CopyEntry& e = plan[i];
    // Bounds are checked even for entries without a checksum: this pass runs
    // before any device copy, so a truncated snapshot is caught here.
    const std::uint64_t end = saturating_end(e.file_offset, e.size);
    if (end > data.size()) {
      return std::unexpected(RestoreError{RestoreError::PayloadOutOfBounds{
          data.size(),
          static_cast<std::size_t>(std::min<std::uint64_t>(end, std::numeric_limits<std::size_t>::max()))}});
    }
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
