#include "pipeline/restore_file.h"

#include <filesystem>
#include <functional>

#include "pipeline/freeze.h"
#include "pipeline_test_util.h"
#include "testing/test_seams.h"

namespace vesk::test {
namespace {

// A prelude of the given entries followed by `payload`.
std::vector<std::uint8_t> hand_built_file(const std::vector<RegionEntry>& entries,
                                          const std::vector<std::uint8_t>& payload, std::uint64_t num_regions) {
  SnapshotHeader header;
  header.num_regions = num_regions;
  RegionTable table;
  for (const auto& e : entries) table.push(e);
  auto bytes = header.to_bytes();
  const auto table_bytes = table.to_bytes();
  bytes.insert(bytes.end(), table_bytes.begin(), table_bytes.end());
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

class RestoreTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.file("snap.vesk");
    auto r = freeze_pipelined_to_file(cuda_, requests_for(regions_), FreezeConfig{std::nullopt, 4096, true}, path_);
    ASSERT_TRUE(r) << r.error().message();
    // The freeze left a 4096-byte pair in this thread's cache.
    ASSERT_EQ(standin_live("pinned"), 2);
    standin_reset();
  }

  std::expected<RestoreStats, RestoreError> restore(std::uint64_t chunk = 4096, bool direct = true) {
    return restore_pipelined(cuda_, path_, resolver_for(blank_), PipelineConfig{chunk, direct});
  }

  void expect_restored() const {
    for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank_[i].bytes, regions_[i].bytes) << "region " << i;
  }

  void flip_file_byte(std::uint64_t offset) {
    auto bytes = read_file(path_);
    bytes[offset] ^= 0x5A;
    write_file(path_, bytes);
  }

  TempDir dir_;
  std::string path_;
  // Prelude 4192 bytes; regions at 4192, 9192 and 12192, file 21192 bytes.
  // The first region straddles the chunk boundary at 8192.
  const std::vector<HostRegion> regions_ = make_regions({5000, 3000, 9000});
  std::vector<HostRegion> blank_ = blank_like(regions_);
};

struct RuntimeFailure {
  const char* call;
  int nth;
  const char* op;
};

// Each device call fails once while copies are still queued: the error
// names the call, and the pair is freed after both streams were drained.
TEST_F(RestoreTest, RuntimeFailuresDrainStreamsAndFreeThePair) {
  const RuntimeFailure cases[] = {
      {"cudaStreamCreate", 1, "cudaStreamCreate"},
      {"cudaStreamCreate", 2, "cudaStreamCreate"},
      {"cudaMemcpyAsync", 2, "cudaMemcpyAsync(h2d)"},
      {"cudaStreamSynchronize", 2, "cudaStreamSynchronize"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    ASSERT_TRUE(restore());  // refills the cache with a 4096 pair
    standin_reset();
    standin_set_delay_us(500);
    standin_fail(c.call, c.nth, 700);
    auto r = restore();
    ASSERT_FALSE(r);
    EXPECT_EQ(cuda_failure(r.error()), (CudaFailure{c.op, 700})) << r.error().message();
    standin_set_delay_us(kStandinDefaultDelayUs);
    expect_clean_failure(0);
  }
}

TEST_F(RestoreTest, AllocationAndStreamDestroyFailures) {
  standin_fail("cudaMallocHost", 1, 2);
  auto r = restore(8192);
  ASSERT_FALSE(r);
  EXPECT_EQ(refused_allocation(r.error()), 8192u) << r.error().message();
  expect_clean_failure(0);

  const FailingStreamDestroy backend(709);
  r = restore_pipelined(backend, path_, resolver_for(blank_), PipelineConfig{4096, true});
  ASSERT_FALSE(r);
  EXPECT_EQ(cuda_failure(r.error()), (CudaFailure{"cudaStreamDestroy", 709})) << r.error().message();
  expect_restored();  // every copy had completed
  expect_clean_failure(0);
}

// Refusals that come before any buffer or stream is taken leave the
// cached pair where it was.
TEST_F(RestoreTest, PreludeAndPlanningRefusals) {
  const auto good = read_file(path_);
  auto with_file = [&](const std::vector<std::uint8_t>& bytes) {
    write_file(path_, bytes);
    return restore();
  };
  auto header_announcing = [&](std::uint64_t n) {
    return hand_built_file({}, std::vector<std::uint8_t>(64), n);
  };
  struct Case {
    const char* name;
    std::function<std::expected<RestoreStats, RestoreError>()> run;
    std::string message;
  };
  const std::string prefix = "snapshot parse failed: ";
  const Case cases[] = {
      {"missing file", [&] { return restore_pipelined(cuda_, dir_.file("nope"), resolver_for(blank_), PipelineConfig{4096, true}); },
       prefix + "i/o error during snapshot prelude: NotFound: No such file or directory (os error 2)"},
      {"shorter than a header", [&] { return with_file(std::vector<std::uint8_t>(good.begin(), good.begin() + 100)); },
       prefix + "i/o error during snapshot prelude: UnexpectedEof: pread_exact: hit EOF after 100 of 4096 bytes at offset 0"},
      {"bad magic", [&] { auto b = good; b[0] = 'X'; return with_file(b); },
       prefix + "header parse failed: bad magic bytes: expected b\"VESK\", found [88, 69, 83, 75]"},
      {"table cut short", [&] { return with_file(std::vector<std::uint8_t>(good.begin(), good.begin() + 4136)); },
       prefix + "snapshot prelude is truncated: got 4136 bytes, need 4192"},
      // Refused from the file's length, before 32 TiB could be allocated.
      {"huge region count", [&] { return with_file(header_announcing(std::uint64_t{1} << 40)); },
       prefix + "snapshot prelude is truncated: got 4160 bytes, need 35184372092928"},
      {"region count overflows", [&] { return with_file(header_announcing(std::uint64_t{1} << 59)); },
       prefix + "snapshot prelude offsets overflow usize"},
      // A region whose end lies beyond 2^64 must not wrap around to a small offset.
      {"region end overflows", [&] {
         return with_file(hand_built_file({{RegionKind::Weights, 10, 5000, UINT64_MAX - 100, 0}}, {}, 1));
       },
       prefix + "snapshot prelude offsets overflow usize"},
      {"unmapped region", [&] {
         write_file(path_, good);
         auto partial = blank_;
         partial.erase(partial.begin() + 1);
         return restore_pipelined(cuda_, path_, resolver_for(partial), PipelineConfig{4096, true});
       },
       "no device mapping for region: kind=KvLiveBlock, logical_id=11"},
      {"device region one byte larger", [&] {
         auto larger = blank_;
         larger[2].bytes.resize(9001);
         return restore_pipelined(cuda_, path_, resolver_for(larger), PipelineConfig{4096, true});
       },
       "device region size mismatch: kind=Metadata, logical_id=12, file_size=9000, device_size=9001"},
      {"chunk size 0", [&] { return restore(0); },
       "invalid restore config: chunk_size must be a positive multiple of 4096, got 0"},
      {"chunk size 4097", [&] { return restore(4097); },
       "invalid restore config: chunk_size must be a positive multiple of 4096, got 4097"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(standin_calls("cudaStreamCreate"), 0);
    expect_clean_failure(2);
  }
}

TEST_F(RestoreTest, PayloadCutShortFailsWithUnexpectedEof) {
  std::filesystem::resize_file(path_, 21192 - 10);
  for (const bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "direct" : "buffered");
    auto r = restore(4096, direct);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("i/o error during snapshot prelude: UnexpectedEof: pread_exact: hit EOF"),
              std::string::npos)
        << r.error().message();
    expect_clean_failure(0);
  }
}

// A region split over two chunks is checked once, over both pieces: a bad
// byte in either piece is caught, and VESK_VERIFY=0 lets it through.
TEST_F(RestoreTest, CorruptByteInEitherChunkOfStraddlingRegion) {
  const auto good = read_file(path_);
  for (const std::uint64_t offset : {4192u + 10u, 8192u + 5u}) {
    SCOPED_TRACE(offset);
    write_file(path_, good);
    flip_file_byte(offset);
    auto corrupted = regions_[0].bytes;
    corrupted[offset - 4192] ^= 0x5A;

    auto r = restore();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "region checksum mismatch: kind=Weights, logical_id=10, expected=" +
                                       hex32(ref_crc32c(regions_[0].bytes)) + ", actual=" + hex32(ref_crc32c(corrupted)));
    expect_clean_failure(0);

    ScopedEnv off("VESK_VERIFY", "0");
    auto unchecked = restore();
    ASSERT_TRUE(unchecked) << unchecked.error().message();
    EXPECT_EQ(blank_[0].bytes, corrupted);
  }
}

// Copies that run long after they were queued: a buffer refilled before its
// stream was waited for would put wrong bytes into device memory.
TEST_F(RestoreTest, LongCopyDelayIntoDeviceMemoryIsExact) {
  const std::vector<std::uint64_t> sizes = {30000, 4097, 1, 20000};
  const auto host = make_regions(sizes, 7);
  std::vector<void*> src(sizes.size()), dst(sizes.size());
  std::vector<FreezeRequest> requests;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(cudaMalloc(&src[i], sizes[i]), 0);
    ASSERT_EQ(cudaMalloc(&dst[i], sizes[i]), 0);
    ASSERT_EQ(cudaMemcpy(src[i], host[i].bytes.data(), sizes[i], cudaMemcpyHostToDevice), 0);
    ASSERT_EQ(cudaMemset(dst[i], 0, sizes[i]), 0);
    requests.push_back({host[i].kind, host[i].logical_id, DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(src[i])}, sizes[i]}});
  }
  standin_set_delay_us(2000);
  ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests, FreezeConfig{std::nullopt, 4096, true}, path_));
  auto resolve = [&](RegionKind kind, std::uint32_t id) -> std::optional<DeviceRegion> {
    for (std::size_t i = 0; i < sizes.size(); ++i)
      if (host[i].kind == kind && host[i].logical_id == id)
        return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(dst[i])}, sizes[i]};
    return std::nullopt;
  };
  auto r = restore_pipelined(cuda_, path_, resolve, PipelineConfig{4096, true});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->bytes_copied, 54098u);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::vector<std::uint8_t> back(sizes[i]);
    ASSERT_EQ(cudaMemcpy(back.data(), dst[i], sizes[i], cudaMemcpyDeviceToHost), 0);
    EXPECT_EQ(back, host[i].bytes) << "region " << i;
    cudaFree(src[i]);
    cudaFree(dst[i]);
  }
}

std::expected<void, RestoreError> panicking_fold(std::span<const std::byte>, std::uint64_t, std::uint64_t,
                                                 std::uint64_t, std::span<const CopyEntry>,
                                                 std::span<RestoreCrcState>) {
  throw InternalFailure("crc worker panic");
}

TEST_F(RestoreTest, CrcWorkerPanicIsAnInternalFailureAfterDraining) {
  struct Seam {
    Seam() { set_chunk_crc_fold_for_testing(&panicking_fold); }
    ~Seam() { set_chunk_crc_fold_for_testing(nullptr); }
  } seam;
  standin_set_delay_us(2000);  // chunk 0's copies are still queued at the throw
  try {
    (void)restore();
    ADD_FAILURE() << "no exception";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "CRC worker panicked");
  }
  expect_clean_failure(0);
}

// Entry 0 lies after entry 1 in the file. Reading must start at the
// smaller offset, or entry 1's bytes would go unread and unverified. Entry
// 0 records no checksum and is never verified; entry 1 is.
TEST_F(RestoreTest, TableOutOfFileOrder) {
  const auto a = pattern_bytes(3000, 1), b = pattern_bytes(5000, 2);
  const std::uint64_t prelude = 4096 + 2 * 32;
  std::vector<std::uint8_t> payload = b;
  payload.insert(payload.end(), a.begin(), a.end());
  const std::vector<RegionEntry> entries = {
      {RegionKind::Weights, 1, a.size(), prelude + b.size(), 0},
      {RegionKind::Weights, 2, b.size(), prelude, ref_crc32c(b)},
  };
  write_file(path_, hand_built_file(entries, payload, 2));
  std::vector<HostRegion> into = {{RegionKind::Weights, 1, std::vector<std::uint8_t>(a.size())},
                                  {RegionKind::Weights, 2, std::vector<std::uint8_t>(b.size())},
                                  {RegionKind::Metadata, 99, std::vector<std::uint8_t>(1)}};  // asked for by no entry
  auto r = restore_pipelined(cuda_, path_, resolver_for(into), PipelineConfig{4096, true});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, (RestoreStats{2, 8000}));
  EXPECT_EQ(into[0].bytes, a);
  EXPECT_EQ(into[1].bytes, b);

  flip_file_byte(prelude + b.size() + 7);  // in entry 0: not checked
  EXPECT_TRUE(restore_pipelined(cuda_, path_, resolver_for(into), PipelineConfig{4096, true}));
  flip_file_byte(prelude + 7);  // in entry 1
  r = restore_pipelined(cuda_, path_, resolver_for(into), PipelineConfig{4096, true});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message().find("region checksum mismatch: kind=Weights, logical_id=2"), std::string::npos);
}

TEST_F(RestoreTest, NothingToReadSucceedsWithoutCopies) {
  // Empty regions at a 4096 multiple: no chunk at all.
  write_file(path_, hand_built_file({{RegionKind::Weights, 1, 0, 8192, 0}, {RegionKind::Metadata, 2, 0, 8192, 0}}, {}, 2));
  std::vector<HostRegion> empty = {{RegionKind::Weights, 1, {}}, {RegionKind::Metadata, 2, {}}};
  auto r = restore_pipelined(cuda_, path_, resolver_for(empty), PipelineConfig{4096, true});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, (RestoreStats{2, 0}));
  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);

  // No regions: nothing is planned, so even chunk size 0 passes.
  write_file(path_, hand_built_file({}, {}, 0));
  r = restore_pipelined(cuda_, path_, resolver_for(empty), PipelineConfig{0, true});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, (RestoreStats{0, 0}));
}

}  // namespace
}  // namespace vesk::test
