// CRC-32C of region payloads: the library wrapper, the combination, the
// eight-way split, and the freeze/restore bookkeeping around them.
#include "pipeline/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/real_cuda.h"
#include "pipeline_test_util.h"

namespace vesk {
namespace {

std::vector<std::byte> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::byte> out(n);
  for (auto& b : out) b = static_cast<std::byte>(rng());
  return out;
}

std::span<const std::byte> as_bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }

// Sets or clears an environment variable for one test and restores it after.
constexpr std::array<std::uint32_t, 5> kSeeds = {0u, 1u, 0xFFFFFFFFu, 0xE3069283u, 0x80000000u};

TEST(Crc32c, KnownValues) {
  EXPECT_EQ(crc32c(as_bytes("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
  EXPECT_EQ(crc32c_append(0xDEADBEEFu, {}), 0xDEADBEEFu);
  // Continuing a finished CRC gives the CRC of the concatenation.
  EXPECT_EQ(crc32c_append(crc32c(as_bytes("1234")), as_bytes("56789")), 0xE3069283u);
}

TEST(Crc32c, InputIsFedInPieces) {
  const auto data = random_bytes(100'003, 1);
  const std::uint32_t whole = crc32c(data);
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{65536}}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(detail::crc32c_append_in_pieces(0, data, piece), whole);
    EXPECT_EQ(detail::crc32c_append_in_pieces(0x1234u, data, piece), crc32c_append(0x1234u, data));
  }
}

TEST(Crc32c, CombineMatchesSequential) {
  const auto data = random_bytes((1u << 20) + 37, 2);
  const std::vector<std::size_t> lengths = {
      0, 1, 2, 3, 7, 8, 15, 16, 17, 63, 255, 1000, 4095, 4096, 4097, 65537, (1u << 20) + 37};
  for (std::uint32_t seed : kSeeds) {
    for (std::size_t total : lengths) {
      for (std::size_t cut : {std::size_t{0}, std::size_t{1}, total / 3, total / 2, total - 1, total}) {
        const std::size_t split = std::min(cut, total);
        const auto all = std::span(data).first(total);
        const std::uint32_t crc_a = crc32c_append(seed, all.first(split));
        const std::uint32_t crc_b = crc32c(all.subspan(split));
        ASSERT_EQ(crc32c_combine(crc_a, crc_b, total - split), crc32c_append(seed, all))
            << "seed=" << seed << " total=" << total << " split=" << split;
      }
    }
  }
}

TEST(Crc32c, CombineOfHugeLengthsIsAssociative) {
  // Lengths far beyond anything that can be hashed here exercise the high
  // powers of x; grouping must not matter.
  const std::uint64_t n1 = (std::uint64_t{1} << 35) + 5;
  const std::uint64_t n2 = (std::uint64_t{3} << 40) + 11;
  const std::uint64_t n3 = std::numeric_limits<std::uint64_t>::max() / 4;
  const std::uint32_t a = 0x12345678u, b = 0x9ABCDEF0u, c = 0x0F1E2D3Cu;
  EXPECT_EQ(crc32c_combine(crc32c_combine(a, b, n1), c, n2), crc32c_combine(a, crc32c_combine(b, c, n2), n1 + n2));
  EXPECT_EQ(crc32c_combine(crc32c_combine(a, b, n3), c, n3), crc32c_combine(a, crc32c_combine(b, c, n3), 2 * n3));
  EXPECT_EQ(crc32c_combine(a, 0, 0), a);
}

TEST(Crc32cParallel, MatchesSequentialAroundTheSplitThreshold) {
  const auto data = random_bytes(kParallelCrcThreshold + 4099, 3);
  const std::span all(data);
  for (std::size_t len :
       {std::size_t{0}, std::size_t{4194303}, std::size_t{4194304}, std::size_t{4194311}, all.size()}) {
    for (std::uint32_t seed : kSeeds) {
      EXPECT_EQ(crc32c_append_parallel(seed, all.first(len)), crc32c_append(seed, all.first(len)))
          << "len=" << len << " seed=" << seed;
    }
  }
}

// Many pieces at once: small ones in groups over threads, large ones split,
// each continuing its own running value, mixed in any order.
TEST(Crc32cParallel, ManyPiecesMatchOneByOne) {
  const auto data = random_bytes(3 * kParallelCrcThreshold, 6);
  const std::span all(data);
  std::mt19937 rng(7);
  std::vector<CrcPiece> pieces;
  std::vector<std::uint32_t> want;
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t len = std::min(all.size() - at, pieces.size() == 40 ? kParallelCrcThreshold + 1 : rng() % 70000);
    const std::uint32_t seed = kSeeds[pieces.size() % kSeeds.size()];
    pieces.push_back(CrcPiece{all.subspan(at, len), seed});
    want.push_back(crc32c_append(seed, all.subspan(at, len)));
    at += len;
  }
  crc32c_append_pieces(pieces);
  for (std::size_t i = 0; i < pieces.size(); ++i) EXPECT_EQ(pieces[i].crc, want[i]) << "piece " << i;
}

// Shard bookkeeping for the detail::crc32c_sharded tests below.
std::atomic<const std::byte*> g_base{nullptr};
std::array<std::atomic<std::size_t>, kCrcShards> g_shard_len;
std::atomic<int> g_shard_calls{0};

std::uint32_t recording_shard(std::span<const std::byte> shard) {
  const std::size_t index = static_cast<std::size_t>(shard.data() - g_base.load());
  g_shard_len[index / (4194311 / kCrcShards)].store(shard.size());
  g_shard_calls.fetch_add(1);
  return crc32c(shard);
}

std::uint32_t failing_shard(std::span<const std::byte> shard) {
  g_shard_calls.fetch_add(1);
  if (shard.data() != g_base.load()) throw std::runtime_error("shard fault");
  return crc32c(shard);
}

TEST(Crc32cParallel, ShardSevenTakesTheRemainder) {
  const auto data = random_bytes(4194311, 4);
  g_base = data.data();
  g_shard_calls = 0;
  EXPECT_EQ(detail::crc32c_sharded(0x55u, data, &recording_shard), crc32c_append(0x55u, data));
  EXPECT_EQ(g_shard_calls.load(), 8);
  for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(g_shard_len[i].load(), 524288u) << i;
  EXPECT_EQ(g_shard_len[7].load(), 524295u);
}

TEST(Crc32cParallel, FailingShardAbandonsAfterJoiningAll) {
  const auto data = random_bytes(kParallelCrcThreshold, 5);
  g_base = data.data();
  g_shard_calls = 0;
  try {
    detail::crc32c_sharded(0, data, &failing_shard);
    FAIL() << "no failure reported";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "crc worker panic");
  }
  // Every shard thread ran to its end before the failure surfaced.
  EXPECT_EQ(g_shard_calls.load(), 8);
}

FreezePlan freeze_entry(std::uint32_t id, std::uint64_t offset, std::uint64_t size) {
  return FreezePlan{RegionKind::Weights, id, offset, size, DeviceRegion{DevicePtr{0x1000 * (id + 1)}, size}};
}

TEST(FreezeCrcs, AccumulatedOverChunksEqualPlainCrc) {
  // File bytes [base, base + 3 * chunk): regions inside one chunk, across a
  // chunk edge, across all three chunks, empty, and outside the range.
  constexpr std::uint64_t base = 8192, chunk = 4096;
  const auto file = random_bytes(base + 3 * chunk, 6);
  const std::vector<FreezePlan> plan = {freeze_entry(0, base, 100), freeze_entry(1, base + 4000, 200),
                                        freeze_entry(2, base + 300, 3 * chunk - 300), freeze_entry(3, base + 5000, 0),
                                        freeze_entry(4, 0, 64)};
  RealCuda backend;
  auto buf = backend.alloc_pinned(chunk);
  ASSERT_TRUE(buf.has_value());
  std::vector<std::uint32_t> crcs(plan.size(), 0);
  for (std::uint64_t start = base; start < base + 3 * chunk; start += chunk) {
    std::memcpy(buf->data(), file.data() + start, chunk);
    accumulate_freeze_crcs(*buf, start, start + chunk, start, plan, crcs);
  }
  for (std::size_t i = 0; i + 1 < plan.size(); ++i) {
    EXPECT_EQ(crcs[i], crc32c(std::span(file).subspan(plan[i].file_offset, plan[i].size))) << i;
  }
  EXPECT_EQ(crcs[3], 0u);
  EXPECT_EQ(crcs[4], 0u);  // lies before every chunk: never touched
}

TEST(FreezeCrcs, TableCarriesPlanFieldsAndChecksums) {
  const std::vector<FreezePlan> plan = {freeze_entry(5, 4096 + 64, 10),
                                        {RegionKind::KvLiveBlock, 9, 8192, 20, DeviceRegion{DevicePtr{1}, 20}}};
  const std::vector<std::uint32_t> crcs = {0xAAAAAAAAu, 0xBBBBBBBBu, 0xCCCCCCCCu};
  RegionTable expected;
  expected.push(RegionEntry{RegionKind::Weights, 5, 10, 4096 + 64, 0xAAAAAAAAu});
  expected.push(RegionEntry{RegionKind::KvLiveBlock, 9, 20, 8192, 0xBBBBBBBBu});
  EXPECT_EQ(region_table_bytes_with_crcs(plan, crcs), expected.to_bytes());

  // The shorter sequence decides how many entries there are.
  RegionTable first_only;
  first_only.push(expected.entries()[0]);
  EXPECT_EQ(region_table_bytes_with_crcs(plan, std::span(crcs).first(1)), first_only.to_bytes());
}

TEST(VerifySwitch, OnlyASingleZeroDisables) {
  test::ScopedEnv env("VESK_VERIFY", nullptr);
  EXPECT_FALSE(crc_verification_disabled());
  for (const char* on : {"00", "false", "", "1", " 0", "0 "}) {
    env.set(on);
    EXPECT_FALSE(crc_verification_disabled()) << '"' << on << '"';
  }
  env.set("0");
  EXPECT_TRUE(crc_verification_disabled());
}

CopyEntry copy_entry(RegionKind kind, std::uint32_t id, std::uint64_t offset, std::uint64_t size,
                     std::span<const std::byte> file) {
  return CopyEntry{kind, id, offset, size, DeviceRegion{DevicePtr{0x10000}, size}, crc32c(file.subspan(offset, size))};
}

// Folds a file in chunks the way the file restore does: [start, end) per
// chunk with the chunk's bytes at the front of `src`.
std::expected<void, RestoreError> fold_file(std::span<const std::byte> file, std::uint64_t start, std::uint64_t chunk,
                                            std::span<const CopyEntry> plan, std::span<RestoreCrcState> state) {
  for (std::uint64_t s = start; s < file.size(); s += chunk) {
    const std::uint64_t e = std::min<std::uint64_t>(s + chunk, file.size());
    auto r = fold_and_verify_chunk_crc(file.subspan(s, e - s), s, s, e, plan, state);
    if (!r) return r;
  }
  return {};
}

class ChunkFold : public ::testing::Test {
 protected:
  // Two 4096-byte chunks from 4096; region 7 spans both, region 8 lies in
  // the second, region 9 has no stored checksum.
  void SetUp() override {
    file = random_bytes(3 * 4096, 7);
    plan = {copy_entry(RegionKind::KvLiveBlock, 7, 5000, 5000, file),
            copy_entry(RegionKind::Metadata, 8, 10500, 100, file),
            CopyEntry{RegionKind::Weights, 9, 11000, 50, DeviceRegion{DevicePtr{1}, 50}, 0}};
  }
  std::expected<void, RestoreError> fold(std::size_t chunk_index, std::vector<RestoreCrcState>& state) {
    const std::uint64_t s = 4096 * (chunk_index + 1);
    return fold_and_verify_chunk_crc(std::span(file).subspan(s, 4096), s, s, s + 4096, plan, state);
  }
  std::vector<std::byte> file;
  std::vector<CopyEntry> plan;
  test::ScopedEnv verify{"VESK_VERIFY", nullptr};
};

TEST_F(ChunkFold, RegionAcrossChunksPasses) {
  std::vector<RestoreCrcState> state(plan.size());
  ASSERT_TRUE(fold(0, state).has_value());
  // After the first chunk the running value differs from the stored one.
  EXPECT_EQ(state[0].bytes_seen, 8192u - 5000u);
  EXPECT_NE(state[0].crc, plan[0].expected_crc32c);
  ASSERT_TRUE(fold(1, state).has_value());
  EXPECT_EQ(state[0].bytes_seen, 5000u);
  EXPECT_EQ(state[0].crc, plan[0].expected_crc32c);
  EXPECT_EQ(state[1].crc, plan[1].expected_crc32c);
  EXPECT_EQ(state[2].bytes_seen, 0u);  // no checksum: never folded
}

TEST_F(ChunkFold, CorruptionInEitherChunkIsReportedByTheSecondFold) {
  for (std::size_t corrupt_at : {std::size_t{5000}, std::size_t{8191}, std::size_t{8192}, std::size_t{9999}}) {
    SCOPED_TRACE(corrupt_at);
    auto saved = file[corrupt_at];
    file[corrupt_at] ^= std::byte{0x01};
    std::vector<RestoreCrcState> state(plan.size());
    ASSERT_TRUE(fold(0, state).has_value());
    auto r = fold(1, state);
    file[corrupt_at] = saved;
    ASSERT_FALSE(r.has_value());
    const auto* m = std::get_if<RestoreError::ChecksumMismatch>(&r.error().v);
    ASSERT_NE(m, nullptr) << r.error().message();
    EXPECT_EQ(m->kind, RegionKind::KvLiveBlock);
    EXPECT_EQ(m->logical_id, 7u);
    EXPECT_EQ(m->expected, plan[0].expected_crc32c);
    EXPECT_EQ(m->actual, state[0].crc);
    // The failing entry stops the chunk: later entries are not folded.
    EXPECT_EQ(state[1].bytes_seen, 0u);
  }
}

TEST_F(ChunkFold, UncheckedRegionAndDisabledVerificationIgnoreCorruption) {
  file[11010] ^= std::byte{0xFF};  // inside region 9, which has no checksum
  std::vector<RestoreCrcState> state(plan.size());
  EXPECT_TRUE(fold_file(file, 4096, 4096, plan, state).has_value());

  file[5001] ^= std::byte{0xFF};  // inside region 7
  verify.set("0");
  std::vector<RestoreCrcState> untouched(plan.size());
  EXPECT_TRUE(fold_file(file, 4096, 4096, plan, untouched).has_value());
  EXPECT_EQ(untouched[0].bytes_seen, 0u);
  for (const char* on : {"00", "false", ""}) {
    verify.set(on);
    std::vector<RestoreCrcState> fresh(plan.size());
    EXPECT_FALSE(fold_file(file, 4096, 4096, plan, fresh).has_value()) << '"' << on << '"';
  }
}

TEST_F(ChunkFold, LargeChunkGoesThroughTheParallelPath) {
  const auto big = random_bytes(kParallelCrcThreshold + 8192 + 13, 8);
  const std::vector<CopyEntry> big_plan = {copy_entry(RegionKind::Weights, 1, 4096, big.size() - 4096, big)};
  std::vector<RestoreCrcState> state(1);
  EXPECT_TRUE(fold_file(big, 4096, kParallelCrcThreshold + 4096, big_plan, state).has_value());
  EXPECT_EQ(state[0].crc, big_plan[0].expected_crc32c);
}

TEST(WholeBufferVerify, ReportsFirstMismatchInPlanOrder) {
  test::ScopedEnv verify("VESK_VERIFY", nullptr);
  auto data = random_bytes(20000, 9);
  const std::vector<CopyEntry> plan = {copy_entry(RegionKind::Weights, 3, 4096, 1000, data),
                                       copy_entry(RegionKind::KvLiveBlock, 4, 5096, 6000, data),
                                       copy_entry(RegionKind::Metadata, 5, 11096, 8904, data)};
  EXPECT_TRUE(verify_plan_crcs_from_bytes(data, plan).has_value());

  data[6000] ^= std::byte{0x80};
  data[12000] ^= std::byte{0x80};
  auto r = verify_plan_crcs_from_bytes(data, plan);
  ASSERT_FALSE(r.has_value());
  const auto* m = std::get_if<RestoreError::ChecksumMismatch>(&r.error().v);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->logical_id, 4u);
  EXPECT_EQ(m->expected, plan[1].expected_crc32c);
  EXPECT_EQ(m->actual, crc32c(std::span(data).subspan(5096, 6000)));

  verify.set("0");
  EXPECT_TRUE(verify_plan_crcs_from_bytes(data, plan).has_value());
  verify.set("false");
  EXPECT_FALSE(verify_plan_crcs_from_bytes(data, plan).has_value());

  // Stored checksum 0: never checked, whatever the payload.
  auto unchecked = plan;
  unchecked[1].expected_crc32c = 0;
  unchecked[2].expected_crc32c = 0;
  EXPECT_TRUE(verify_plan_crcs_from_bytes(data, unchecked).has_value());
}

TEST(WholeBufferVerify, PayloadPastTheEndIsReportedNotRead) {
  test::ScopedEnv verify("VESK_VERIFY", nullptr);
  const auto data = random_bytes(8192, 10);
  auto plan = std::vector<CopyEntry>{copy_entry(RegionKind::Weights, 1, 4096, 4096, data)};
  EXPECT_TRUE(verify_plan_crcs_from_bytes(data, plan).has_value());

  auto out_of_bounds = [&](std::span<const std::byte> bytes) -> std::optional<RestoreError::PayloadOutOfBounds> {
    auto r = verify_plan_crcs_from_bytes(bytes, plan);
    if (r.has_value()) return std::nullopt;
    const auto* p = std::get_if<RestoreError::PayloadOutOfBounds>(&r.error().v);
    return p ? std::optional(*p) : std::nullopt;
  };
  auto p = out_of_bounds(std::span(data).first(8191));
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->file_size, 8191u);
  EXPECT_EQ(p->payload_end, 8192u);

  // Unchecked entries are bounds-checked too.
  plan[0].expected_crc32c = 0;
  EXPECT_TRUE(out_of_bounds(std::span(data).first(8191)).has_value());

  // An end that overflows saturates instead of wrapping to a small value.
  plan[0].file_offset = std::numeric_limits<std::uint64_t>::max() - 10;
  plan[0].size = 100;
  p = out_of_bounds(data);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->payload_end, std::numeric_limits<std::size_t>::max());
}

}  // namespace
}  // namespace vesk
