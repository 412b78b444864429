// Restores from a snapshot held in memory, on all four paths, against the
// stand-in runtime. Every snapshot buffer sits in its own exactly-sized
// heap allocation so that the address sanitizer catches any read past it.
#include "pipeline/restore_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend/real_cuda.h"
#include "format/writer.h"
#include "pipeline/checksum.h"
#include "pipeline_test_util.h"
#include "snapshot_bytes.h"
#include "standin/standin.h"

namespace vesk {
namespace {

using test::pattern_bytes;
using test::RegionShape;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

enum class Path { Staging, Registered, PreRegistered, Auto };
constexpr Path kAllPaths[] = {Path::Staging, Path::Registered, Path::PreRegistered, Path::Auto};

const char* path_name(Path p) {
  switch (p) {
    case Path::Staging: return "staging";
    case Path::Registered: return "registered";
    case Path::PreRegistered: return "pre-registered";
    case Path::Auto: return "auto";
  }
  return "?";
}

class HeapBytes {
 public:
  explicit HeapBytes(std::size_t n) : p_(std::make_unique<std::uint8_t[]>(n)), n_(n) {}
  std::uint8_t* data() { return p_.get(); }
  std::span<const std::uint8_t> span() const { return {p_.get(), n_}; }
  std::size_t size() const { return n_; }

 private:
  std::unique_ptr<std::uint8_t[]> p_;
  std::size_t n_;
};

// A snapshot laid out as the writer lays it out, and the stand-in's device
// memory for every region.
struct Image {
  std::unique_ptr<HeapBytes> bytes;
  std::vector<RegionEntry> entries;
  std::vector<std::vector<std::uint8_t>> payloads;
  std::vector<test::DeviceBytes> device;

  RegionResolver resolver() {
    std::unordered_map<RegionKey, DeviceRegion, RegionKeyHash> map;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      map[{entries[i].kind, entries[i].logical_id}] =
          DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(device[i].data())}, device[i].size()};
    }
    return [map](RegionKind k, std::uint32_t id) -> std::optional<DeviceRegion> {
      auto it = map.find({k, id});
      if (it == map.end()) return std::nullopt;
      return it->second;
    };
  }
  void clear_device() {
    for (auto& d : device) std::fill(d.begin(), d.end(), 0xEE);
  }
  bool device_matches() const {
    return std::equal(device.begin(), device.end(), payloads.begin(), payloads.end(),
                      [](const test::DeviceBytes& d, const std::vector<std::uint8_t>& p) { return d == p; });
  }
};

Image make_image(const std::vector<RegionShape>& shapes) {
  Image img;
  std::vector<test::PayloadRegion> regions;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    img.payloads.push_back(pattern_bytes(shapes[i].size, static_cast<std::uint32_t>(i + 7)));
    regions.push_back({shapes[i].kind, shapes[i].id, img.payloads.back(), shapes[i].record_crc});
  }
  const test::SnapshotBytes snap = test::snapshot_bytes(regions);
  img.bytes = std::make_unique<HeapBytes>(snap.bytes.size());
  std::memcpy(img.bytes->data(), snap.bytes.data(), snap.bytes.size());
  img.entries = snap.entries;
  for (const RegionEntry& e : img.entries) {
    img.device.emplace_back(e.size);
    std::fill(img.device.back().begin(), img.device.back().end(), 0xEE);
  }
  return img;
}

// A buffer of exactly `len` bytes holding a prelude with these entries; the
// rest is filler.
std::unique_ptr<HeapBytes> crafted(const std::vector<RegionEntry>& entries, std::size_t len) {
  SnapshotHeader header;
  header.num_regions = entries.size();
  RegionTable table;
  for (const auto& e : entries) table.push(e);
  const auto prelude = Snapshot::from_header_and_table(header, table).to_prelude_bytes();
  auto buf = std::make_unique<HeapBytes>(len);
  std::memset(buf->data(), 0x5A, len);
  std::memcpy(buf->data(), prelude.data(), std::min(len, prelude.size()));
  return buf;
}

std::expected<RestoreStats, RestoreError> restore(Path path, std::span<const std::uint8_t> data,
                                                  const RegionResolver& resolve, std::uint64_t chunk_size) {
  RealCuda backend;
  const PipelineConfig config{chunk_size, false};
  switch (path) {
    case Path::Staging: return restore_pipelined_from_bytes(backend, data, resolve, config);
    case Path::Registered: return restore_pipelined_from_registered_bytes(backend, data, resolve, config);
    case Path::Auto: return restore_pipelined_from_bytes_auto(backend, data, resolve, config);
    case Path::PreRegistered: {
      auto reg = backend.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
      EXPECT_TRUE(reg.has_value());
      return restore_pipelined_from_pre_registered_bytes(backend, data, resolve, config);
    }
  }
  return std::unexpected(RestoreError{RestoreError::InvalidConfig{"unknown path"}});
}

// Everything written to file descriptor 2 while alive.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), 2);
  }
  ~StderrCapture() {
    restore_fd();
    std::fclose(file_);
  }
  std::string text() {
    restore_fd();
    std::string out;
    std::rewind(file_);
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore_fd() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

std::string warning_line(const std::string& error, std::size_t len) {
  return "vesk: WARN restore_pipelined_from_bytes_auto: zero-copy host_register failed (" + error + ") for " +
         std::to_string(len) + " bytes; falling back to staging-buffer restore (slower, but works)\n";
}

template <typename V>
const V* as(const std::expected<RestoreStats, RestoreError>& r) {
  return r ? nullptr : std::get_if<V>(&r.error().v);
}

// The pipeline fixture, with every memory path's registrations and
// page-locked buffers counted back to where the case found them.
class MemoryRestoreTest : public test::PipelineTest {
 protected:
  void SetUp() override {
    test::PipelineTest::SetUp();
    ::unsetenv("VESK_VERIFY");
    standin_set_delay_us(50);
    pinned_ = standin_live("pinned");
    registered_ = standin_live("registered");
    streams_ = standin_live("streams");
  }
  void TearDown() override {
    ::unsetenv("VESK_VERIFY");
    drain_wc_cache();
    EXPECT_EQ(standin_live("pinned"), pinned_);
    EXPECT_EQ(standin_live("registered"), registered_);
    EXPECT_EQ(standin_hazards(), 0);
    EXPECT_EQ(standin_pageable_copies(), 0);
    test::PipelineTest::TearDown();
  }
  // Counters start afresh; what the previous case left is checked first.
  static void reset() {
    EXPECT_EQ(standin_hazards(), 0);
    EXPECT_EQ(standin_pageable_copies(), 0);
    standin_reset();
  }
  // Takes the cached staging pair, if any, and frees it.
  static void drain_wc_cache() { (void)acquire_wc_bufs(RealCuda{}, 4096); }

  long pinned_ = 0, registered_ = 0, streams_ = 0;
};

TEST_F(MemoryRestoreTest, BuffersShorterThanAHeaderFailOnEveryPath) {
  for (std::size_t len : {std::size_t{0}, std::size_t{4095}}) {
    HeapBytes buf(len);
    for (Path p : kAllPaths) {
      SCOPED_TRACE(std::string(path_name(p)) + " len " + std::to_string(len));
      reset();
      StderrCapture err;
      auto r = restore(p, buf.span(), [](RegionKind, std::uint32_t) { return std::nullopt; }, 65536);
      ASSERT_FALSE(r);
      const auto* snap = std::get_if<RestoreError::Snapshot>(&r.error().v);
      ASSERT_NE(snap, nullptr);
      const auto* io = std::get_if<SnapshotError::Io>(&snap->inner.v);
      ASSERT_NE(io, nullptr);
      EXPECT_EQ(io->kind, IoErrorKind::UnexpectedEof);
      EXPECT_EQ(io->message, "data too short for header: " + std::to_string(len) + " bytes");
      EXPECT_EQ(err.text(), "");
      // An empty buffer is never handed to the runtime's registration.
      if (len == 0) {
        EXPECT_EQ(standin_calls("cudaHostRegister"), 0);
      }
    }
  }
}

TEST_F(MemoryRestoreTest, EmptyTableRestoresNothingOnEveryPath) {
  Image img = make_image({});
  ASSERT_EQ(img.bytes->size(), 4096u);
  for (Path p : kAllPaths) {
    SCOPED_TRACE(path_name(p));
    reset();
    // The staging path does not examine the chunk size when there is nothing to stage.
    auto r = restore(p, img.bytes->span(), img.resolver(), 0);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(*r, (RestoreStats{0, 0}));
    EXPECT_EQ(standin_calls("cudaStreamCreate"), 0);
    if (p == Path::Registered) {
      EXPECT_EQ(standin_calls("cudaHostRegister"), 0);
    }
  }
}

TEST_F(MemoryRestoreTest, EveryPathRestoresTheSameBytes) {
  // Spans chunk boundaries, an empty region, an unverified region, an
  // unaligned start of the payload.
  Image img = make_image({{RegionKind::Weights, 1, 20000},
                          {RegionKind::KvLiveBlock, 7, 0},
                          {RegionKind::Metadata, 3, 4097, false},
                          {RegionKind::KvLiveBlock, 2, 9000}});
  for (std::uint64_t chunk : {std::uint64_t{4096}, std::uint64_t{8192}, std::uint64_t{1} << 20}) {
    for (Path p : kAllPaths) {
      SCOPED_TRACE(std::string(path_name(p)) + " chunk " + std::to_string(chunk));
      img.clear_device();
      StderrCapture err;
      auto r = restore(p, img.bytes->span(), img.resolver(), chunk);
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(*r, (RestoreStats{4, 20000 + 4097 + 9000}));
      EXPECT_TRUE(img.device_matches());
      EXPECT_EQ(err.text(), "");
    }
  }
}

TEST_F(MemoryRestoreTest, MappingErrorsNameTheFirstBadEntry) {
  Image img = make_image({{RegionKind::Weights, 0, 100}, {RegionKind::KvLiveBlock, 4, 200},
                          {RegionKind::Metadata, 1, 300}});
  const RegionResolver all = img.resolver();
  const RegionResolver missing = [&](RegionKind k, std::uint32_t id) -> std::optional<DeviceRegion> {
    if (k == RegionKind::KvLiveBlock) return std::nullopt;
    return all(k, id);
  };
  const RegionResolver larger = [&](RegionKind k, std::uint32_t id) -> std::optional<DeviceRegion> {
    auto r = all(k, id);
    if (k != RegionKind::Weights) r->size += 1;
    return r;
  };
  for (Path p : kAllPaths) {
    SCOPED_TRACE(path_name(p));
    reset();
    auto r = restore(p, img.bytes->span(), missing, 4096);
    const auto* um = as<RestoreError::UnmappedRegion>(r);
    ASSERT_NE(um, nullptr);
    EXPECT_EQ(um->kind, RegionKind::KvLiveBlock);
    EXPECT_EQ(um->logical_id, 4u);
    r = restore(p, img.bytes->span(), larger, 4096);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "device region size mismatch: kind=KvLiveBlock, logical_id=4, file_size=200, device_size=201");
    // Planning comes before the registered path's registration.
    if (p == Path::Registered) {
      EXPECT_EQ(standin_calls("cudaHostRegister"), 0);
    }
    EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
  }
}

TEST_F(MemoryRestoreTest, StagedRangeOfWholeChunksAndOneByteMore) {
  // One region: payload starts at 4128, staging starts at 4096, so the
  // covered range is size + 32 bytes long.
  constexpr std::uint64_t kChunk = 4096;
  for (std::uint64_t extra : {std::uint64_t{0}, std::uint64_t{1}}) {
    SCOPED_TRACE(extra);
    Image img = make_image({{RegionKind::Weights, 0, 3 * kChunk - 32 + extra}});
    reset();
    auto r = restore(Path::Staging, img.bytes->span(), img.resolver(), kChunk);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_TRUE(img.device_matches());
    EXPECT_EQ(standin_calls("cudaMemcpyAsync"), extra == 0 ? 3 : 4);
  }
}

TEST_F(MemoryRestoreTest, BadChunkSizeIsRejectedWhenThereIsSomethingToStage) {
  Image img = make_image({{RegionKind::Weights, 0, 100}});
  for (std::uint64_t chunk : {std::uint64_t{0}, std::uint64_t{4097}}) {
    auto r = restore(Path::Staging, img.bytes->span(), img.resolver(), chunk);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "invalid restore config: chunk_size must be a positive multiple of 4096, got " + std::to_string(chunk));
  }
  // The zero-copy attempt of the auto path ignores the chunk size.
  auto r = restore(Path::Auto, img.bytes->span(), img.resolver(), 0);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(standin_live("pinned"), pinned_);
}

TEST_F(MemoryRestoreTest, RefusedRegistrationFallsBackToStagingWithOneWarning) {
  Image img = make_image({{RegionKind::Weights, 0, 30000}, {RegionKind::Metadata, 5, 333}});
  const std::size_t len = img.bytes->size();
  {
    reset();
    standin_fail("cudaHostRegister", 1, 2);
    StderrCapture err;
    auto r = restore(Path::Auto, img.bytes->span(), img.resolver(), 8192);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(*r, (RestoreStats{2, 30333}));
    EXPECT_TRUE(img.device_matches());
    EXPECT_EQ(err.text(), warning_line("cuda runtime error during cudaHostRegister: CudaStatus(2)", len));
  }
  {
    // The fallback's own errors are the result: here its chunk-size check.
    reset();
    standin_fail("cudaHostRegister", 1, 2);
    StderrCapture err;
    auto r = restore(Path::Auto, img.bytes->span(), img.resolver(), 0);
    ASSERT_NE(as<RestoreError::InvalidConfig>(r), nullptr);
    EXPECT_EQ(err.text(), warning_line("cuda runtime error during cudaHostRegister: CudaStatus(2)", len));
  }
  {
    // The registered path has no fallback and prints nothing.
    reset();
    standin_fail("cudaHostRegister", 1, 2);
    StderrCapture err;
    auto r = restore(Path::Registered, img.bytes->span(), img.resolver(), 8192);
    ASSERT_NE(as<RestoreError::Backend>(r), nullptr);
    EXPECT_NE(r.error().message().find("cudaHostRegister"), std::string::npos);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
  }
}

TEST_F(MemoryRestoreTest, BufferAlreadyRegisteredTakesTheSameFallback) {
  Image img = make_image({{RegionKind::Weights, 0, 10000}});
  RealCuda backend;
  auto held = backend.host_register(img.bytes->data(), img.bytes->size());
  ASSERT_TRUE(held);
  reset();
  std::string err_text;
  {
    StderrCapture err;
    auto r = restore(Path::Auto, img.bytes->span(), img.resolver(), 4096);
    ASSERT_TRUE(r) << r.error().message();
    err_text = err.text();
  }
  EXPECT_TRUE(img.device_matches());
  const std::string prefix =
      "vesk: WARN restore_pipelined_from_bytes_auto: zero-copy host_register failed (cuda runtime error during "
      "cudaHostRegister: CudaStatus(";
  EXPECT_EQ(err_text.rfind(prefix, 0), 0u) << err_text;
  EXPECT_EQ(std::count(err_text.begin(), err_text.end(), '\n'), 1);
  EXPECT_NE(err_text.find(") for " + std::to_string(img.bytes->size()) + " bytes;"), std::string::npos);
  // The caller's registration is untouched.
  EXPECT_EQ(standin_live("registered"), registered_ + 1);
}

TEST_F(MemoryRestoreTest, CorruptionIsCaughtBeforeAnyDeviceCopy) {
  Image img = make_image({{RegionKind::Weights, 0, 5000}, {RegionKind::KvLiveBlock, 9, 70000}});
  img.bytes->data()[img.entries[1].file_offset + 65000] ^= 0x01;
  for (Path p : kAllPaths) {
    SCOPED_TRACE(path_name(p));
    reset();
    auto r = restore(p, img.bytes->span(), img.resolver(), 8192);
    const auto* mm = as<RestoreError::ChecksumMismatch>(r);
    ASSERT_NE(mm, nullptr);
    EXPECT_EQ(mm->kind, RegionKind::KvLiveBlock);
    EXPECT_EQ(mm->logical_id, 9u);
    EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
  }
  ::setenv("VESK_VERIFY", "0", 1);
  for (Path p : kAllPaths) {
    SCOPED_TRACE(path_name(p));
    img.clear_device();
    auto r = restore(p, img.bytes->span(), img.resolver(), 8192);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(img.device[1][65000], img.payloads[1][65000] ^ 0x01);
  }
}

TEST_F(MemoryRestoreTest, TruncatedPayloadIsReportedWithoutReadingPastTheBuffer) {
  Image img = make_image({{RegionKind::Weights, 0, 9000}, {RegionKind::Weights, 1, 9000}});
  const std::size_t full = img.bytes->size();
  const std::size_t len = full - 1;
  HeapBytes cut(len);
  std::memcpy(cut.data(), img.bytes->data(), len);
  for (bool verify : {true, false}) {
    if (!verify) ::setenv("VESK_VERIFY", "0", 1);
    for (Path p : kAllPaths) {
      SCOPED_TRACE(std::string(path_name(p)) + (verify ? " verify" : " no verify"));
      reset();
      auto r = restore(p, cut.span(), img.resolver(), 8192);
      ASSERT_FALSE(r);
      if (p == Path::Staging && !verify) {
        // Chunks of 8192 from 4096: the third, [20480, 22160), is short.
        EXPECT_EQ(r.error().message(),
                  "snapshot parse failed: i/o error during snapshot prelude: UnexpectedEof: data too short: need "
                  "byte 20480.." + std::to_string(full) + " but len is " + std::to_string(len));
      } else {
        const auto* oob = as<RestoreError::PayloadOutOfBounds>(r);
        ASSERT_NE(oob, nullptr) << r.error().message();
        EXPECT_EQ(oob->file_size, len);
        EXPECT_EQ(oob->payload_end, full);
      }
      EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
    }
  }
}

TEST_F(MemoryRestoreTest, CraftedTablesNeverReadPastTheBuffer) {
  struct Case {
    std::vector<RegionEntry> entries;
    std::size_t len;
    std::size_t payload_end;
  };
  const Case cases[] = {
      // A size whose end overflows.
      {{{RegionKind::Weights, 0, kU64Max - 100, 8192, 1}}, 16384, std::numeric_limits<std::size_t>::max()},
      // An offset far past the end; the first bad entry in plan order is reported.
      {{{RegionKind::Weights, 0, 10, 4200, 1}, {RegionKind::Weights, 1, 10, std::uint64_t{1} << 62, 1},
        {RegionKind::Weights, 2, 100, 9000, 1}},
       8192,
       (std::size_t{1} << 62) + 10},
  };
  for (const Case& c : cases) {
    auto buf = crafted(c.entries, c.len);
    // Entry sizes must match the device regions, so the resolver hands out
    // regions of whatever size the entry claims; none of them may be touched.
    std::unordered_map<std::uint32_t, std::uint64_t> sizes;
    for (const auto& e : c.entries) sizes[e.logical_id] = e.size;
    const RegionResolver resolve = [&](RegionKind, std::uint32_t id) -> std::optional<DeviceRegion> {
      return DeviceRegion{DevicePtr{0x1000}, sizes.at(id)};
    };
    for (bool verify : {true, false}) {
      if (verify) ::unsetenv("VESK_VERIFY"); else ::setenv("VESK_VERIFY", "0", 1);
      for (Path p : kAllPaths) {
        SCOPED_TRACE(std::string(path_name(p)) + (verify ? " verify" : " no verify"));
        reset();
        auto r = restore(p, buf->span(), resolve, 4096);
        ASSERT_FALSE(r);
        if (p == Path::Staging && !verify) {
          EXPECT_NE(r.error().message().find("data too short: need byte "), std::string::npos)
              << r.error().message();
        } else {
          const auto* oob = as<RestoreError::PayloadOutOfBounds>(r);
          ASSERT_NE(oob, nullptr) << r.error().message();
          EXPECT_EQ(oob->file_size, c.len);
          EXPECT_EQ(oob->payload_end, c.payload_end);
        }
        EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 0);
      }
    }
  }
}

TEST_F(MemoryRestoreTest, EntriesOutOfFileOrderAreRestoredCompletely) {
  // The second entry lies before the first: staging must start at the
  // smallest offset, not at the first entry's.
  const auto low = pattern_bytes(5000, 1), high = pattern_bytes(7000, 2);
  const std::vector<RegionEntry> entries = {
      {RegionKind::Weights, 0, 7000, 16384, crc32c(std::as_bytes(std::span(high)))},
      {RegionKind::Weights, 1, 5000, 4160, crc32c(std::as_bytes(std::span(low)))}};
  auto buf = crafted(entries, 16384 + 7000);
  std::memcpy(buf->data() + 16384, high.data(), high.size());
  std::memcpy(buf->data() + 4160, low.data(), low.size());
  for (Path p : kAllPaths) {
    SCOPED_TRACE(path_name(p));
    test::DeviceBytes dev_high(7000), dev_low(5000);
    std::fill(dev_high.begin(), dev_high.end(), 0xEE);
    std::fill(dev_low.begin(), dev_low.end(), 0xEE);
    const RegionResolver resolve = [&](RegionKind, std::uint32_t id) -> std::optional<DeviceRegion> {
      auto& d = id == 0 ? dev_high : dev_low;
      return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(d.data())}, d.size()};
    };
    auto r = restore(p, buf->span(), resolve, 4096);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(dev_high, high);
    EXPECT_EQ(dev_low, low);
  }
}

TEST_F(MemoryRestoreTest, FailuresAfterQueuedCopiesDrainTheStreamsFirst) {
  Image img = make_image({{RegionKind::Weights, 0, 40000}, {RegionKind::Weights, 1, 40000},
                          {RegionKind::Weights, 2, 40000}});
  // With 64 KiB chunks the first chunk holds pieces of two regions, so the
  // second copy fails while the first is still queued, on every path.
  standin_set_delay_us(2000);
  for (const char* call : {"cudaMemcpyAsync", "cudaStreamSynchronize"}) {
    for (Path p : kAllPaths) {
      SCOPED_TRACE(std::string(path_name(p)) + " " + call);
      reset();
      standin_fail(call, 2, 1);
      auto r = restore(p, img.bytes->span(), img.resolver(), 65536);
      const auto* be = as<RestoreError::Backend>(r);
      ASSERT_NE(be, nullptr);
      EXPECT_EQ(standin_hazards(), 0);
      EXPECT_EQ(standin_live("streams"), streams_);
    }
  }
  reset();
  standin_fail("cudaStreamCreate", 2, 1);
  auto r = restore(Path::Staging, img.bytes->span(), img.resolver(), 8192);
  ASSERT_NE(as<RestoreError::Backend>(r), nullptr);
  EXPECT_EQ(standin_live("pinned"), pinned_);  // dropped, not cached
}

}  // namespace
}  // namespace vesk
