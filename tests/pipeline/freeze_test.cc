#include "pipeline/freeze.h"

#include <sys/mount.h>

#include <cstring>
#include <numeric>
#include <tuple>

#include "pipeline/restore_file.h"
#include "pipeline_test_util.h"
#include "testing/test_seams.h"

namespace vesk::test {
namespace {

struct Layout {
  const char* name;
  std::vector<std::uint64_t> sizes;
  std::uint64_t chunk;
};

std::vector<Layout> layouts() {
  std::vector<std::uint64_t> many(300);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = (i * 37) % 200;
  return {
      {"empty", {}, 4096},
      {"single_100", {100}, 4096},
      {"straddling", {5000, 3000, 9000}, 4096},
      // 4096 + 64 + 100 + 12124 = 16384: the last chunk is full.
      {"exact_multiple", {100, 12124}, 8192},
      {"zero_sizes", {0, 700, 0, 0, 5000, 0}, 4096},
      {"table_longer_than_chunk", many, 4096},
      {"large_regions", {200000, 1, 70000, 4096 * 20}, 65536},
  };
}

VllmCommit test_commit() {
  VllmCommit c{};
  for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>('a' + i % 26);
  return c;
}

enum class Place { WorkDisk, Shm };

class FreezeRoundTrip : public PipelineTest, public testing::WithParamInterface<std::tuple<Place, bool>> {};

// Every layout is frozen, its file checked byte by byte against the
// regions, and restored into blank regions with the same I/O mode.
TEST_P(FreezeRoundTrip, FileMatchesRegionsAndRestoresExactly) {
  const auto [place, refuse_direct] = GetParam();
  TempDir dir(place == Place::Shm ? "/dev/shm" : "");
  ASSERT_TRUE(dir.ok());
  set_refuse_direct_open_for_testing(refuse_direct);

  for (const auto& layout : layouts()) {
    SCOPED_TRACE(layout.name);
    const auto regions = make_regions(layout.sizes);
    const auto requests = requests_for(regions);
    const std::string path = dir.file(std::string(layout.name) + ".vesk");
    FreezeConfig config{test_commit(), layout.chunk, true};

    auto stats = freeze_pipelined_to_file(cuda_, requests, config, path);
    ASSERT_TRUE(stats) << stats.error().message();
    const std::uint64_t payload = std::accumulate(layout.sizes.begin(), layout.sizes.end(), std::uint64_t{0});
    EXPECT_EQ(stats->regions_frozen, regions.size());
    EXPECT_EQ(stats->bytes_copied, payload);
    EXPECT_FALSE(path_exists(tmp_path_for(path)));

    const auto file = read_file(path);
    ASSERT_EQ(file.size(), HEADER_SIZE + REGION_ENTRY_SIZE * regions.size() + payload);
    auto snap = Snapshot::from_prelude_bytes(file);
    ASSERT_TRUE(snap) << snap.error().message();
    EXPECT_EQ(snap->header.vllm_commit, test_commit());
    ASSERT_EQ(snap->table.size(), regions.size());
    std::uint64_t offset = HEADER_SIZE + REGION_ENTRY_SIZE * regions.size();
    for (std::size_t i = 0; i < regions.size(); ++i) {
      const auto& e = snap->table.entries()[i];
      EXPECT_EQ(e.kind, regions[i].kind);
      EXPECT_EQ(e.logical_id, regions[i].logical_id);
      EXPECT_EQ(e.file_offset, offset);
      EXPECT_EQ(e.size, regions[i].bytes.size());
      EXPECT_EQ(e.crc32c, ref_crc32c(regions[i].bytes)) << "region " << i;
      EXPECT_TRUE(std::equal(regions[i].bytes.begin(), regions[i].bytes.end(), file.begin() + static_cast<long>(offset)))
          << "payload of region " << i;
      offset += e.size;
    }

    for (const std::uint64_t chunk : {layout.chunk, std::uint64_t{8192}}) {
      auto blank = blank_like(regions);
      auto restored = restore_pipelined(cuda_, path, resolver_for(blank), PipelineConfig{chunk, true});
      ASSERT_TRUE(restored) << restored.error().message();
      EXPECT_EQ(*restored, (RestoreStats{regions.size(), payload}));
      for (std::size_t i = 0; i < regions.size(); ++i) EXPECT_EQ(blank[i].bytes, regions[i].bytes) << "region " << i;
    }
    expect_quiet();
  }
}

INSTANTIATE_TEST_SUITE_P(PlacesAndModes, FreezeRoundTrip,
                         testing::Combine(testing::Values(Place::WorkDisk, Place::Shm), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Place::Shm ? "Shm" : "WorkDisk") +
                                  (std::get<1>(info.param) ? "_DirectRefused" : "_Direct");
                         });

class FreezeTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    ASSERT_TRUE(dir_.ok());
    target_ = dir_.file("snap.vesk");
    write_file(target_, old_contents_);
  }

  // Leaves this thread's cache holding a 4096-byte pair.
  void warm_cache() {
    const auto regions = make_regions({10});
    ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests_for(regions), FreezeConfig{std::nullopt, 4096, true},
                                         dir_.file("warm.vesk")));
    ASSERT_EQ(standin_live("pinned"), 2);
    standin_reset();
  }

  std::expected<FreezeStats, FreezeError> freeze(std::uint64_t chunk = 4096) {
    return freeze_pipelined_to_file(cuda_, requests_for(regions_), FreezeConfig{std::nullopt, chunk, true}, target_);
  }

  void expect_target_untouched() {
    EXPECT_FALSE(path_exists(tmp_path_for(target_)));
    EXPECT_EQ(read_file(target_), old_contents_);
  }

  TempDir dir_;
  std::string target_;
  const std::vector<std::uint8_t> old_contents_ = pattern_bytes(5000, 99);
  // 21192 bytes: six chunks of 4096, regions straddling chunk boundaries.
  const std::vector<HostRegion> regions_ = make_regions({5000, 3000, 9000});
};

struct RuntimeFailure {
  const char* call;
  int nth;
  const char* op;
};

// Each device call of the freeze fails once, with copies still queued
// (long delay): the error names the call, the unfinished file is gone, the
// target keeps its old contents and the pair is freed rather than cached.
TEST_F(FreezeTest, RuntimeFailuresLeaveTargetAndCleanUp) {
  const RuntimeFailure cases[] = {
      {"cudaStreamCreate", 1, "cudaStreamCreate"},
      {"cudaStreamCreate", 2, "cudaStreamCreate"},
      {"cudaMemcpyAsync", 4, "cudaMemcpyAsync(d2h)"},
      {"cudaStreamSynchronize", 3, "cudaStreamSynchronize"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    warm_cache();
    standin_set_delay_us(500);
    standin_fail(c.call, c.nth, 700);
    auto r = freeze();
    ASSERT_FALSE(r);
    EXPECT_EQ(cuda_failure(r.error()), (CudaFailure{c.op, 700})) << r.error().message();
    expect_target_untouched();
    expect_clean_failure(0);
  }
}

TEST_F(FreezeTest, AllocationFailureReportsRequestedBytes) {
  warm_cache();  // a 4096 pair; 8192 must be allocated afresh
  standin_fail("cudaMallocHost", 2, 2);
  auto r = freeze(8192);
  ASSERT_FALSE(r);
  EXPECT_EQ(refused_allocation(r.error()), 8192u) << r.error().message();
  expect_target_untouched();
  expect_clean_failure(0);
}

TEST_F(FreezeTest, BadChunkSizeIsRefusedBeforeBuffers) {
  warm_cache();
  for (const std::uint64_t chunk : {0ul, 4095ul, 6144ul}) {
    auto r = freeze(chunk);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "invalid freeze config: chunk_size must be a positive multiple of 4096, got " + std::to_string(chunk));
    expect_target_untouched();
  }
  EXPECT_EQ(standin_calls("cudaStreamCreate"), 0);
  expect_clean_failure(2);  // the cached pair was never taken
}

TEST_F(FreezeTest, StreamDestroyFailureAfterCommitKeepsNewSnapshot) {
  warm_cache();
  const FailingStreamDestroy backend(709);
  auto r = freeze_pipelined_to_file(backend, requests_for(regions_), FreezeConfig{std::nullopt, 4096, true}, target_);
  ASSERT_FALSE(r);
  EXPECT_EQ(cuda_failure(r.error()), (CudaFailure{"cudaStreamDestroy", 709})) << r.error().message();
  EXPECT_FALSE(path_exists(tmp_path_for(target_)));
  EXPECT_EQ(read_file(target_).size(), 21192u);
  expect_clean_failure(0);
}

TEST_F(FreezeTest, FileSystemFailures) {
  warm_cache();
  {  // the directory of the target does not exist
    auto r = freeze_pipelined_to_file(cuda_, requests_for(regions_), FreezeConfig{}, dir_.file("missing/snap.vesk"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "snapshot error during freeze: i/o error during snapshot prelude: NotFound: No such file or directory "
              "(os error 2)");
    EXPECT_FALSE(path_exists(dir_.file("missing")));
    EXPECT_EQ(standin_live("pinned"), 2);  // refused before the cache was touched
  }
  {  // the rename cannot replace a non-empty directory
    const std::string target = dir_.file("occupied");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    write_file(target + "/keep", old_contents_);
    auto r = freeze_pipelined_to_file(cuda_, requests_for(regions_), FreezeConfig{std::nullopt, 4096, true}, target);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::IsADirectory) << r.error().message();
    EXPECT_FALSE(path_exists(tmp_path_for(target)));
    EXPECT_EQ(read_file(target + "/keep"), old_contents_);
  }
  expect_clean_failure(0);
}

// A tmpfs of 1 MiB mounted for the test fills up during the chunk writes.
TEST_F(FreezeTest, FullFileSystemFailsWithStorageFull) {
  TempDir mnt;
  ASSERT_TRUE(mnt.ok());
  if (::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{mnt.path()};
  {
    const std::string target = mnt.file("snap.vesk");
    write_file(target, old_contents_);
    const auto big = make_regions({3u << 20});
    auto r = freeze_pipelined_to_file(cuda_, requests_for(big), FreezeConfig{std::nullopt, 65536, true}, target);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::StorageFull) << r.error().message();
    EXPECT_FALSE(path_exists(tmp_path_for(target)));
    EXPECT_EQ(read_file(target), old_contents_);
  }
  expect_clean_failure(0);
}

// With every copy delayed, a buffer read or refilled before its stream was
// waited for would show as wrong bytes in the file or as a hazard.
TEST_F(FreezeTest, LongCopyDelayKeepsFileExact) {
  standin_set_delay_us(2000);
  auto r = freeze();
  ASSERT_TRUE(r) << r.error().message();
  const auto file = read_file(target_);
  ASSERT_EQ(file.size(), 21192u);
  std::uint64_t offset = 4096 + 3 * 32;
  for (const auto& region : regions_) {
    EXPECT_TRUE(std::equal(region.bytes.begin(), region.bytes.end(), file.begin() + static_cast<long>(offset)));
    offset += region.bytes.size();
  }
  EXPECT_EQ(standin_live("pinned"), 2);  // the pair went back to the cache
}

TEST_F(FreezeTest, BareFileNameCommitsInWorkingDirectory) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  auto r = freeze_pipelined_to_file(cuda_, requests_for(regions_), FreezeConfig{std::nullopt, 4096, true}, "bare.vesk");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(read_file(dir_.file("bare.vesk")).size(), 21192u);
}

// Sizes whose sum passes the largest file offset would wrap the layout and
// write a short file reported as success: they are refused before anything
// is opened or queued.
TEST_F(FreezeTest, SizesPastTheLargestFileAreRefused) {
  standin_reset();  // count only what the refused freezes call
  const std::uint64_t huge = std::uint64_t{1} << 63;
  for (const auto& sizes : {std::vector<std::uint64_t>{UINT64_MAX - 100}, std::vector<std::uint64_t>{huge, huge},
                            std::vector<std::uint64_t>{huge - 4096 - 64, 1}}) {
    std::vector<FreezeRequest> requests;
    for (std::size_t i = 0; i < sizes.size(); ++i)
      requests.push_back(FreezeRequest{RegionKind::Weights, static_cast<std::uint32_t>(i),
                                       DeviceRegion{DevicePtr{0x1000}, sizes[i]}});
    auto r = freeze_pipelined_to_file(cuda_, requests, FreezeConfig{std::nullopt, 4096, true}, target_);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "snapshot error during freeze: snapshot prelude offsets overflow usize");
    expect_target_untouched();
  }
  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
  EXPECT_EQ(standin_calls("cudaMallocHost"), 0);
}

}  // namespace
}  // namespace vesk::test
