// Merged copies of regions contiguous in the file and on the device, on
// every path and in both directions; duplicate keys; helper threads that
// cannot start; the page cache and the last chunk's tail.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/snapshot.h"
#include "pipeline/checksum.h"
#include "pipeline/device_scope.h"
#include "pipeline/freeze.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/restore_file.h"
#include "pipeline/restore_memory.h"
#include "pipeline/worker_thread.h"
#include "page_cache_util.h"
#include "pipeline_test_util.h"
#include "testing/test_seams.h"

namespace vesk::test {
namespace {

// One device allocation from the stand-in, regions carved out of it.
class DeviceArena {
 public:
  explicit DeviceArena(std::size_t n, std::uint8_t fill) : n_(n) {
    EXPECT_EQ(cudaMalloc(&ptr_, n), 0);
    EXPECT_EQ(cudaMemset(ptr_, fill, n), 0);
  }
  ~DeviceArena() { (void)cudaFree(ptr_); }
  DeviceArena(const DeviceArena&) = delete;
  DeviceArena& operator=(const DeviceArena&) = delete;

  DeviceRegion at(std::uint64_t offset, std::uint64_t size) const {
    return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(ptr_) + offset}, size};
  }
  void upload(const std::vector<std::uint8_t>& bytes) { EXPECT_EQ(cudaMemcpy(ptr_, bytes.data(), n_, cudaMemcpyHostToDevice), 0); }
  std::vector<std::uint8_t> download() const {
    std::vector<std::uint8_t> out(n_);
    EXPECT_EQ(cudaMemcpy(out.data(), ptr_, n_, cudaMemcpyDeviceToHost), 0);
    return out;
  }

 private:
  void* ptr_ = nullptr;
  std::size_t n_;
};

struct Placed {
  std::uint64_t dev_offset;
  std::uint64_t size;
};

// In table (and file) order. Runs broken by one byte of device gap, joined
// across an empty region, regions adjacent on the device in the reverse of
// their file order, mixed kinds inside runs, and a long run of blocks
// that crosses several chunks.
std::vector<Placed> tricky_layout() {
  std::vector<Placed> l = {
      {0, 6000},      {6000, 3000},   // one run, two kinds
      {9001, 5000},                   // one byte of gap before it
      {14001, 0},     {14001, 4000},  // an empty region inside a run
      {40000, 2500},  {37500, 2500},  // device neighbours in reverse order
      {18001, 3500},                  // continues the run above on the device only
  };
  for (std::uint64_t i = 0; i < 40; ++i) l.push_back({50000 + i * 4096, 4096});
  return l;
}
constexpr std::size_t kArena = 50000 + 40 * 4096 + 4096;
constexpr std::size_t kBlocks = 64 * 4096;

class CopyRunsTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    standin_set_delay_us(0);
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.file("runs.vesk");
  }
  void TearDown() override {
    set_refuse_worker_threads_for_testing(false);
    set_refuse_piece_threads_for_testing(false);
    PipelineTest::TearDown();
  }

  static std::vector<FreezeRequest> requests(const DeviceArena& arena, const std::vector<Placed>& layout) {
    std::vector<FreezeRequest> out;
    for (std::size_t i = 0; i < layout.size(); ++i)
      out.push_back(FreezeRequest{kind_for(i), static_cast<std::uint32_t>(i), arena.at(layout[i].dev_offset, layout[i].size)});
    return out;
  }
  // The allocations that hold `reqs`, as the module's device check learns
  // them; they bound the merged copies.
  static DeviceAllocations allocations_of(const std::vector<FreezeRequest>& reqs) {
    std::vector<PlacedRegion> placed;
    for (const auto& r : reqs) placed.push_back({"weights", r.logical_id, r.device_region});
    auto p = regions_device(RealCuda{}, placed);
    EXPECT_TRUE(p && p->allocations) << (p ? "no allocations" : p.error().message());
    return p && p->allocations ? std::move(*p->allocations) : DeviceAllocations({});
  }
  static RegionResolver resolver(std::vector<FreezeRequest> reqs) {
    return [reqs = std::move(reqs)](RegionKind kind, std::uint32_t id) -> std::optional<DeviceRegion> {
      if (id >= reqs.size() || reqs[id].kind != kind) return std::nullopt;
      return reqs[id].device_region;
    };
  }

  // Every restore path into a fresh arena of `fill` bytes, each checked
  // against `expected` over the whole arena (so nothing outside a region
  // is written).
  void restore_everywhere(const std::vector<Placed>& layout, std::uint64_t chunk,
                          const std::vector<std::uint8_t>& expected, bool merge = true) {
    const std::vector<std::uint8_t> file = read_file(path_);
    for (int path = 0; path < 4; ++path) {
      SCOPED_TRACE("restore path " + std::to_string(path) + ", chunk " + std::to_string(chunk));
      DeviceArena dst(kArena, 0xEE);
      const RegionResolver resolve = resolver(requests(dst, layout));
      const DeviceAllocations allocations = allocations_of(requests(dst, layout));
      PipelineConfig config{chunk, true};
      config.allocations = merge ? &allocations : nullptr;
      std::expected<RestoreStats, RestoreError> r;
      if (path == 0) r = restore_pipelined(cuda_, path_, resolve, config);
      if (path == 1) r = restore_pipelined_from_bytes(cuda_, file, resolve, config);
      if (path == 2) r = restore_pipelined_from_registered_bytes(cuda_, file, resolve, config);
      if (path == 3) {
        auto reg = cuda_.host_register(const_cast<std::uint8_t*>(file.data()), file.size());
        ASSERT_TRUE(reg);
        r = restore_pipelined_from_pre_registered_bytes(cuda_, file, resolve, config);
      }
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(r->regions_restored, layout.size());
      EXPECT_TRUE(dst.download() == expected) << "restored bytes differ";
    }
  }

  TempDir dir_;
  std::string path_;
};

// Freeze and every restore, with chunk sizes that cut runs at different
// places: every byte and every checksum as if each region moved alone.
TEST_F(CopyRunsTest, MergedCopiesMoveExactlyTheRegionsBytes) {
  const auto layout = tricky_layout();
  DeviceArena src(kArena, 0);
  const std::vector<std::uint8_t> src_bytes = pattern_bytes(kArena, 3);
  src.upload(src_bytes);
  std::vector<std::uint8_t> expected(kArena, 0xEE);
  for (const Placed& p : layout)
    std::copy_n(src_bytes.begin() + static_cast<long>(p.dev_offset), p.size, expected.begin() + static_cast<long>(p.dev_offset));

  const DeviceAllocations src_allocations = allocations_of(requests(src, layout));
  for (const std::uint64_t chunk : {std::uint64_t{4096}, std::uint64_t{12288}, std::uint64_t{1} << 20}) {
    FreezeConfig fc;
    fc.chunk_size = chunk;
    fc.allocations = &src_allocations;
    auto f = freeze_pipelined_to_file(cuda_, requests(src, layout), fc, path_);
    ASSERT_TRUE(f) << f.error().message();
    const std::vector<std::uint8_t> file = read_file(path_);
    auto snap = Snapshot::from_prelude_bytes(file);
    ASSERT_TRUE(snap);
    ASSERT_EQ(snap->table.size(), layout.size());
    for (std::size_t i = 0; i < layout.size(); ++i) {
      const RegionEntry e = *snap->table.get(i);
      const std::vector<std::uint8_t> want(src_bytes.begin() + static_cast<long>(layout[i].dev_offset),
                                           src_bytes.begin() + static_cast<long>(layout[i].dev_offset + layout[i].size));
      ASSERT_TRUE(std::equal(want.begin(), want.end(), file.begin() + static_cast<long>(e.file_offset))) << "region " << i;
      EXPECT_EQ(e.crc32c, ref_crc32c(want)) << "region " << i;
    }
    restore_everywhere(layout, chunk, expected);
  }
}

// Neighbouring allocations (a caching allocator's blocks) touch, but no
// copy may cross from one into the next: merged copies stop at each
// allocation's end, and without the allocations known every region is a
// copy of its own. The stand-in refuses a copy that crosses.
TEST_F(CopyRunsTest, CopiesNeverCrossFromOneAllocationIntoTheNext) {
  constexpr std::size_t kEach = 8192;
  constexpr int kAllocations = 4;
  standin_set_adjacent_allocations(1);
  std::vector<std::unique_ptr<DeviceArena>> src, dst;
  for (int i = 0; i < kAllocations; ++i) src.push_back(std::make_unique<DeviceArena>(kEach, 0));
  for (int i = 0; i < kAllocations; ++i) dst.push_back(std::make_unique<DeviceArena>(kEach, 0xEE));
  standin_set_adjacent_allocations(0);
  for (int i = 1; i < kAllocations; ++i) {
    ASSERT_EQ(src[i]->at(0, 0).ptr.value, src[i - 1]->at(kEach, 0).ptr.value) << "the stand-in did not place them side by side";
  }
  // Four regions per allocation, contiguous across the seams.
  std::vector<FreezeRequest> from, to;
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < kAllocations; ++i) {
    const auto bytes = pattern_bytes(kEach, 20 + i);
    src[i]->upload(bytes);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    for (std::uint32_t k = 0; k < 4; ++k) {
      const auto id = static_cast<std::uint32_t>(i * 4) + k;
      from.push_back({RegionKind::KvLiveBlock, id, src[i]->at(k * 2048, 2048)});
      to.push_back({RegionKind::KvLiveBlock, id, dst[i]->at(k * 2048, 2048)});
    }
  }
  const DeviceAllocations from_allocations = allocations_of(from), to_allocations = allocations_of(to);
  for (const bool merge : {true, false}) {
    SCOPED_TRACE(merge ? "merged inside each allocation" : "allocations unknown");
    FreezeConfig fc;
    fc.chunk_size = 1u << 20;
    fc.allocations = merge ? &from_allocations : nullptr;
    standin_reset();
    auto f = freeze_pipelined_to_file(cuda_, from, fc, path_);
    ASSERT_TRUE(f) << f.error().message();
    EXPECT_EQ(standin_calls("cudaMemcpyAsync"), merge ? kAllocations : kAllocations * 4);
    const std::vector<std::uint8_t> file = read_file(path_);
    for (int path = 0; path < 4; ++path) {
      SCOPED_TRACE("restore path " + std::to_string(path));
      PipelineConfig config{1u << 20, true};
      config.allocations = merge ? &to_allocations : nullptr;
      const RegionResolver resolve = resolver(to);
      standin_reset();
      std::expected<RestoreStats, RestoreError> r;
      if (path == 0) r = restore_pipelined(cuda_, path_, resolve, config);
      if (path == 1) r = restore_pipelined_from_bytes(cuda_, file, resolve, config);
      if (path == 2) r = restore_pipelined_from_registered_bytes(cuda_, file, resolve, config);
      if (path == 3) {
        auto reg = cuda_.host_register(const_cast<std::uint8_t*>(file.data()), file.size());
        ASSERT_TRUE(reg);
        r = restore_pipelined_from_pre_registered_bytes(cuda_, file, resolve, config);
      }
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(standin_calls("cudaMemcpyAsync"), merge ? kAllocations : kAllocations * 4);
      std::vector<std::uint8_t> got;
      for (const auto& d : dst) {
        const auto part = d->download();
        got.insert(got.end(), part.begin(), part.end());
      }
      EXPECT_TRUE(got == expected);
    }
  }
}

// 64 blocks of 4096 bytes, consecutive on the device: one copy per chunk
// on the staged paths and one in all on the zero-copy paths.
TEST_F(CopyRunsTest, ContiguousBlocksAreOneCopyPerChunk) {
  std::vector<Placed> layout;
  for (std::uint64_t i = 0; i < 64; ++i) layout.push_back({i * 4096, 4096});
  DeviceArena src(kBlocks, 0);
  src.upload(pattern_bytes(kBlocks, 4));
  constexpr std::uint64_t kChunk = 65536;
  FreezeConfig fc;
  fc.chunk_size = kChunk;
  const DeviceAllocations src_allocations = allocations_of(requests(src, layout));
  fc.allocations = &src_allocations;
  ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests(src, layout), fc, path_));
  const std::vector<std::uint8_t> file = read_file(path_);
  const long chunks = static_cast<long>((file.size() + kChunk - 1) / kChunk);
  EXPECT_LE(standin_calls("cudaMemcpyAsync"), chunks);

  DeviceArena dst(kBlocks, 0);
  const RegionResolver resolve = resolver(requests(dst, layout));
  const DeviceAllocations dst_allocations = allocations_of(requests(dst, layout));
  PipelineConfig config{kChunk, true};
  config.allocations = &dst_allocations;
  standin_reset();
  ASSERT_TRUE(restore_pipelined(cuda_, path_, resolve, config));
  EXPECT_LE(standin_calls("cudaMemcpyAsync"), chunks);
  standin_reset();
  ASSERT_TRUE(restore_pipelined_from_bytes(cuda_, file, resolve, config));
  EXPECT_LE(standin_calls("cudaMemcpyAsync"), chunks);
  standin_reset();
  ASSERT_TRUE(restore_pipelined_from_registered_bytes(cuda_, file, resolve, config));
  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 1);
}

// A merged copy that the runtime refuses fails the call as a single
// region's copy would, with nothing left in flight.
TEST_F(CopyRunsTest, RefusedMergedCopyReportsTheCopyError) {
  std::vector<Placed> layout;
  for (std::uint64_t i = 0; i < 64; ++i) layout.push_back({i * 4096, 4096});
  DeviceArena src(kBlocks, 0);
  ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests(src, layout), FreezeConfig{}, path_));
  const std::vector<std::uint8_t> file = read_file(path_);
  DeviceArena dst(kBlocks, 0);
  const RegionResolver resolve = resolver(requests(dst, layout));
  const DeviceAllocations allocations = allocations_of(requests(dst, layout));
  PipelineConfig config{8192, true};
  config.allocations = &allocations;
  const CudaFailure h2d{"cudaMemcpyAsync(h2d)", 700}, raw{"cudaMemcpyAsync(h2d raw)", 700};
  for (int path = 0; path < 3; ++path) {
    SCOPED_TRACE(path);
    standin_fail("cudaMemcpyAsync", 1, 700);
    std::expected<RestoreStats, RestoreError> r;
    if (path == 0) r = restore_pipelined(cuda_, path_, resolve, config);
    if (path == 1) r = restore_pipelined_from_bytes(cuda_, file, resolve, config);
    if (path == 2) r = restore_pipelined_from_registered_bytes(cuda_, file, resolve, config);
    ASSERT_FALSE(r);
    EXPECT_EQ(cuda_failure(r.error()), path == 2 ? raw : h2d) << r.error().message();
    expect_quiet();
    EXPECT_EQ(standin_live("registered"), 0);
  }
  standin_fail("cudaMemcpyAsync", 1, 700);
  auto f = freeze_pipelined_to_file(cuda_, requests(src, layout), FreezeConfig{}, path_);
  ASSERT_FALSE(f);
  EXPECT_EQ(cuda_failure(f.error()), (CudaFailure{"cudaMemcpyAsync(d2h)", 700})) << f.error().message();
  expect_quiet();
}

// A snapshot holding one key twice (written before freezes refused that):
// the later table entry wins on every path, even where its bytes come
// first in the file, and both entries' checksums are verified.
TEST_F(CopyRunsTest, DuplicateKeysRestoreTheLaterEntryEverywhere) {
  const auto first = pattern_bytes(9000, 5);
  const auto later = pattern_bytes(9000, 6);
  const auto other = pattern_bytes(100, 7);
  // File order: later, other, first; table order: first, later, other.
  const std::uint64_t base = 4096 + 3 * 32;
  const std::uint64_t at_later = base, at_other = base + 9000, at_first = base + 9100;
  auto build = [&](std::uint32_t first_crc) {
    SnapshotHeader header;
    header.num_regions = 3;
    RegionTable table;
    table.push(RegionEntry{RegionKind::KvLiveBlock, 3, 9000, at_first, first_crc});
    table.push(RegionEntry{RegionKind::KvLiveBlock, 3, 9000, at_later, ref_crc32c(later)});
    table.push(RegionEntry{RegionKind::Weights, 1, 100, at_other, ref_crc32c(other)});
    std::vector<std::uint8_t> bytes = Snapshot::from_header_and_table(header, table).to_prelude_bytes();
    bytes.resize(at_first + 9000);
    std::copy(later.begin(), later.end(), bytes.begin() + static_cast<long>(at_later));
    std::copy(other.begin(), other.end(), bytes.begin() + static_cast<long>(at_other));
    std::copy(first.begin(), first.end(), bytes.begin() + static_cast<long>(at_first));
    return bytes;
  };
  DeviceArena dst(kArena, 0xEE);
  const DeviceRegion kv = dst.at(0, 9000), w = dst.at(9000, 100);
  const RegionResolver resolve = [&](RegionKind kind, std::uint32_t) { return kind == RegionKind::Weights ? w : kv; };
  auto run = [&](int path, const std::vector<std::uint8_t>& bytes) {
    write_file(path_, bytes);
    const PipelineConfig config{4096, true};
    switch (path) {
      case 0: return restore_pipelined(cuda_, path_, resolve, config);
      case 1: return restore_pipelined_from_bytes(cuda_, bytes, resolve, config);
      case 2: return restore_pipelined_from_registered_bytes(cuda_, bytes, resolve, config);
      default: {
        auto reg = cuda_.host_register(const_cast<std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_TRUE(reg);
        return restore_pipelined_from_pre_registered_bytes(cuda_, bytes, resolve, config);
      }
    }
  };
  const auto good = build(ref_crc32c(first));
  const auto bad_first = build(ref_crc32c(first) ^ 1);
  for (int path = 0; path < 4; ++path) {
    SCOPED_TRACE(path);
    for (int round = 0; round < 3; ++round) {
      auto r = run(path, good);
      ASSERT_TRUE(r) << r.error().message();
      const auto dev = dst.download();
      EXPECT_TRUE(std::equal(later.begin(), later.end(), dev.begin()));
      EXPECT_TRUE(std::equal(other.begin(), other.end(), dev.begin() + 9000));
    }
    auto r = run(path, bad_first);
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::holds_alternative<RestoreError::ChecksumMismatch>(r.error().v)) << r.error().message();
  }
}

TEST_F(CopyRunsTest, FreezeRefusesDuplicateKeysBeforeOpening) {
  DeviceArena src(kArena, 0);
  std::vector<FreezeRequest> reqs = {{RegionKind::Weights, 1, src.at(0, 10)},
                                     {RegionKind::KvLiveBlock, 7, src.at(10, 10)},
                                     {RegionKind::Weights, 2, src.at(20, 10)},
                                     {RegionKind::KvLiveBlock, 7, src.at(30, 10)}};
  auto f = freeze_pipelined_to_file(cuda_, reqs, FreezeConfig{}, path_);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message(),
            "duplicate region in freeze request: kind=KvLiveBlock, logical_id=7 is given more than once");
  EXPECT_FALSE(path_exists(path_));
  EXPECT_FALSE(path_exists(tmp_path_for(path_)));
  EXPECT_EQ(standin_calls("cudaStreamCreate"), 0);
  reqs[3].kind = RegionKind::Metadata;  // same id, other kind: distinct
  EXPECT_TRUE(freeze_pipelined_to_file(cuda_, reqs, FreezeConfig{}, path_));
}

// With no helper thread to be had, every pipeline and the checksum split
// do their work on the calling thread and succeed.
TEST_F(CopyRunsTest, NoHelperThreadsMeansTheCallerDoesTheWork) {
  std::vector<Placed> layout = {{0, 5u << 20}, {(5u << 20) + 1, 100000}};
  const std::size_t n = (5u << 20) + 200000;
  DeviceArena src(n, 0);
  const auto bytes = pattern_bytes(n, 8);
  src.upload(bytes);
  set_refuse_worker_threads_for_testing(true);
  set_refuse_piece_threads_for_testing(true);
  const auto span = std::as_bytes(std::span(bytes));
  EXPECT_EQ(crc32c_append_parallel(0, span), ref_crc32c(bytes));

  FreezeConfig fc;
  fc.chunk_size = 1u << 20;
  fc.io_pieces = IoPieces{4, 65536};
  auto f = freeze_pipelined_to_file(cuda_, requests(src, layout), fc, path_);
  ASSERT_TRUE(f) << f.error().message();
  DeviceArena dst(n, 0);
  PipelineConfig config{1u << 20, true, IoPieces{4, 65536}};
  auto r = restore_pipelined(cuda_, path_, resolver(requests(dst, layout)), config);
  ASSERT_TRUE(r) << r.error().message();
  const auto got = dst.download();
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + (5u << 20), bytes.begin()));
  EXPECT_TRUE(std::equal(got.begin() + (5u << 20) + 1, got.begin() + (5u << 20) + 100001, bytes.begin() + (5u << 20) + 1));
}

// Chunks are read through the page cache when they sit in it, direct when
// they do not, and the tail past the last whole block of a file is read
// alone rather than the whole last chunk again.
struct ReadLog {
  std::atomic<long> direct_bytes{0};
  std::atomic<long> buffered_bytes{0};
};
ReadLog g_reads;

std::optional<IoError> log_read(const PieceTransfer& t) {
  if (t.write) return std::nullopt;
  (t.direct ? g_reads.direct_bytes : g_reads.buffered_bytes) += static_cast<long>(t.len);
  return std::nullopt;
}

TEST_F(CopyRunsTest, CachedChunksReadThroughTheCacheAndTheTailAlone) {
  const std::uint64_t size = (6u << 20) + 1000;  // the file ends 1000 + 32 bytes past a block
  const std::vector<Placed> layout = {{0, size}};
  DeviceArena src(size, 0);
  const auto bytes = pattern_bytes(size, 9);
  src.upload(bytes);
  FreezeConfig fc;
  fc.chunk_size = 1u << 20;
  ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests(src, layout), fc, path_));
  {
    auto probe = open_direct(path_, true);
    ASSERT_TRUE(probe);
    if (!probe->direct) GTEST_SKIP() << "no direct I/O on this file system";
  }
  set_piece_fault_for_testing(&log_read);
  const PipelineConfig config{1u << 20, true, IoPieces{2, 262144}};
  for (const bool warm : {false, true}) {
    SCOPED_TRACE(warm ? "warm" : "cold");
    g_reads.direct_bytes = 0;
    g_reads.buffered_bytes = 0;
    ASSERT_TRUE(warm ? load_into_page_cache(path_) : evict_from_page_cache(path_));
    DeviceArena dst(size, 0);
    auto r = restore_pipelined(cuda_, path_, resolver(requests(dst, layout)), config);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_TRUE(dst.download() == bytes);
    // Every payload byte read once; cold, the tail of 1032 bytes after the
    // last whole block is read on its own, outside the pieces.
    const long payload = static_cast<long>(read_file(path_).size()) - 4096;
    EXPECT_EQ(g_reads.direct_bytes + g_reads.buffered_bytes, payload / 4096 * 4096 + (warm ? payload % 4096 : 0));
    // Cold, the prelude's read-ahead may have cached the first chunk; the
    // others come from the disk.
    if (warm) EXPECT_EQ(g_reads.direct_bytes, 0);
    else EXPECT_GE(g_reads.direct_bytes, 5 << 20);
  }
  set_piece_fault_for_testing(nullptr);
}

}  // namespace
}  // namespace vesk::test
