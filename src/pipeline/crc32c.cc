#include "pipeline/crc32c.h"

#include <algorithm>
#include <array>
#include <optional>
#include <thread>

#include "pipeline/types.h"
#include "pipeline/worker_thread.h"

namespace vesk {

namespace {

// Runs work(0) to work(kCrcShards - 1), shard 0 on this thread and the
// others on threads started here; a shard whose thread cannot be started
// runs here too. An exception must not escape a thread (that would end the
// process): a shard that throws ends the call in
// InternalFailure("crc worker panic") once every started thread was joined.
template <typename Work>
void run_on_shards(Work work) {
  std::array<bool, kCrcShards> done{};  // each written only by its own shard, read after join
  auto run_shard = [&](unsigned i) noexcept {
    try {
      work(i);
      done[i] = true;
    } catch (...) {
    }
  };
  {
    std::array<std::optional<std::jthread>, kCrcShards> threads;
    for (unsigned i = 1; i < kCrcShards; ++i) threads[i] = try_start_worker([&run_shard, i] { run_shard(i); });
    run_shard(0);
    for (unsigned i = 1; i < kCrcShards; ++i) {
      if (threads[i]) threads[i]->join();
      else run_shard(i);
    }
  }
  if (!std::all_of(done.begin(), done.end(), [](bool d) { return d; })) throw InternalFailure("crc worker panic");
}

}  // namespace

namespace detail {

std::uint32_t crc32c_sharded(std::uint32_t initial_crc, std::span<const std::byte> bytes, ShardCrcFn shard_crc) {
  const std::size_t shard_len = bytes.size() / kCrcShards;
  auto shard = [&](unsigned i) {
    const std::size_t begin = i * shard_len;
    return i + 1 == kCrcShards ? bytes.subspan(begin) : bytes.subspan(begin, shard_len);
  };

  std::array<std::uint32_t, kCrcShards> crcs{};
  run_on_shards([&](unsigned i) { crcs[i] = shard_crc(shard(i)); });
  std::uint32_t crc = initial_crc;
  for (unsigned i = 0; i < kCrcShards; ++i) crc = crc32c_combine(crc, crcs[i], shard(i).size());
  return crc;
}

}  // namespace detail

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
  run_on_shards([&](unsigned g) { run_group(bounds[g], bounds[g + 1]); });
}

}  // namespace vesk
