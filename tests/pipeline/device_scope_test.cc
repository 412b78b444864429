// The check of where the caller's regions live, and the scope that runs a
// call on their device.
#include "pipeline/device_scope.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "backend/real_cuda.h"
#include "cuda/driver.h"
#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"
#include "pipeline_test_util.h"
#include "standin/standin.h"

namespace vesk {
namespace {

class DeviceScopeTest : public testing::Test {
 protected:
  void SetUp() override { standin_reset(); }
  void TearDown() override {
    for (void* p : allocations_) EXPECT_EQ(cudaFree(p), 0);
    standin_set_adjacent_allocations(0);
    EXPECT_EQ(cudaSetDevice(0), 0);
    EXPECT_EQ(standin_peek_last_error(), 0);
  }

  DeviceRegion device_memory(int device, std::uint64_t size) {
    int previous = 0;
    EXPECT_EQ(cudaGetDevice(&previous), 0);
    EXPECT_EQ(cudaSetDevice(device), 0);
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, size), 0);
    EXPECT_EQ(cudaSetDevice(previous), 0);
    allocations_.push_back(p);
    return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(p)}, size};
  }

  static int current() {
    int d = -1;
    EXPECT_EQ(cudaGetDevice(&d), 0);
    return d;
  }

  const RealCuda backend_;
  std::vector<void*> allocations_;
};

TEST_F(DeviceScopeTest, AllRegionsOnOneDeviceNameIt) {
  std::vector<PlacedRegion> regions{{"weights", 1, device_memory(1, 4096)},
                                    {"kv_live_block", 2, DeviceRegion{DevicePtr{0}, 0}},  // empty: not asked
                                    {"metadata", 3, device_memory(1, 100)}};
  auto placed = regions_device(backend_, regions);
  ASSERT_TRUE(placed.has_value()) << placed.error().message();
  EXPECT_EQ(placed->device, std::optional<int>(1));
  ASSERT_TRUE(placed->allocations.has_value());
  EXPECT_EQ(placed->allocations->size(), 2u);
  EXPECT_EQ(standin_calls("cuPointerGetAttributes"), 2);
  EXPECT_EQ(standin_calls("cudaPointerGetAttributes"), 0);

  auto none = regions_device(backend_, std::vector<PlacedRegion>{{"weights", 1, DeviceRegion{DevicePtr{8}, 0}}});
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->device, std::nullopt);

  // Without the driver the runtime answers, and nothing bounds the copies.
  set_driver_unreachable_for_testing(true);
  auto blind = regions_device(backend_, regions);
  set_driver_unreachable_for_testing(false);
  ASSERT_TRUE(blind.has_value());
  EXPECT_EQ(blind->device, std::optional<int>(1));
  EXPECT_FALSE(blind->allocations.has_value());
}

TEST_F(DeviceScopeTest, HostMemoryAndSplitDevicesAreRefusedByName) {
  auto pinned = backend_.alloc_pinned(4096);
  ASSERT_TRUE(pinned.has_value());
  std::vector<std::uint8_t> heap(64);
  const DeviceRegion on_zero = device_memory(0, 64);
  const DeviceRegion on_one = device_memory(1, 64);
  auto host = [](const void* p, std::uint64_t n) {
    return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(p)}, n};
  };

  auto msg = [&](std::vector<PlacedRegion> regions) {
    auto r = regions_device(backend_, regions);
    EXPECT_FALSE(r.has_value());
    return r.has_value() ? std::string() : r.error().message();
  };
  EXPECT_EQ(msg({{"weights", 0, on_zero}, {"weights", 5, on_zero}, {"weights", 6, on_zero},
                 {"kv_live_block", 7, host(pinned->data(), 64)}}),
            "region kv_live_block/7 (position 3) is not device memory: host memory (page-locked)");
  EXPECT_EQ(msg({{"metadata", 9, host(heap.data(), 64)}}),
            "region metadata/9 (position 0) is not device memory: host memory (not known to the CUDA runtime)");
  EXPECT_EQ(msg({{"weights", 1, on_zero}, {"weights", 2, on_zero}, {"kv_live_block", 3, on_one}}),
            "regions are on more than one device: weights/1 (position 0) on device 0, kv_live_block/3 (position 2) "
            "on device 1");
  standin_fail("cuPointerGetAttributes", 1, 999);
  EXPECT_EQ(msg({{"weights", 1, on_zero}}), "cuda runtime error during cuPointerGetAttributes: CudaStatus(999)");
}

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// Allocations that touch (a caching allocator's neighbours), and one
// reserved range of two mapped allocations: a region must end inside its
// allocation or range, and each allocation is asked about once.
TEST_F(DeviceScopeTest, RegionsEndInsideTheirAllocation) {
  standin_set_adjacent_allocations(1);
  const DeviceRegion a = device_memory(0, 8192);
  const DeviceRegion b = device_memory(0, 8192);
  ASSERT_EQ(a.ptr.value + 8192, b.ptr.value) << "the stand-in did not place the blocks side by side";
  const auto slice = [](const DeviceRegion& r, std::uint64_t offset, std::uint64_t size) {
    return DeviceRegion{DevicePtr{r.ptr.value + offset}, size};
  };

  // 64 regions in the two allocations: two queries in all.
  std::vector<PlacedRegion> many;
  for (std::uint32_t i = 0; i < 64; ++i) many.push_back({"kv_live_block", i, slice(i < 32 ? a : b, (i % 32) * 256, 256)});
  standin_reset();
  auto placed = regions_device(backend_, many);
  ASSERT_TRUE(placed.has_value()) << placed.error().message();
  EXPECT_EQ(standin_calls("cuPointerGetAttributes"), 2);
  ASSERT_TRUE(placed->allocations.has_value());
  std::size_t hint = 0;
  EXPECT_EQ(placed->allocations->end_of(a.ptr.value + 100, hint), std::optional<std::uint64_t>(b.ptr.value));
  EXPECT_EQ(placed->allocations->end_of(b.ptr.value, hint), std::optional<std::uint64_t>(b.ptr.value + 8192));

  // A region across the seam runs past the end of its allocation.
  auto across = regions_device(backend_, std::vector<PlacedRegion>{{"weights", 1, slice(a, 0, 4096)},
                                                                 {"weights", 4, slice(a, 4096, 8192)}});
  ASSERT_FALSE(across.has_value());
  EXPECT_EQ(across.error().message(),
            "region weights/4 (position 1) runs past the end of its device allocation (8192 bytes at " +
                hex(a.ptr.value + 4096) + " end at " + hex(a.ptr.value + 12288) + ", the allocation of 8192 bytes at " +
                hex(a.ptr.value) + " at " + hex(a.ptr.value + 8192) + ")");

  // Inside a reserved range, a region may span its mapped allocations,
  // which stay apart for the copies; it may not leave the range.
  const std::size_t sizes[] = {4096, 4096, 8192};
  void* range = nullptr;
  ASSERT_EQ(standin_map_allocations(&range, sizes, 3), 0);
  allocations_.push_back(range);
  const DeviceRegion whole{DevicePtr{reinterpret_cast<std::uintptr_t>(range)}, 16384};
  auto spanning = regions_device(backend_, std::vector<PlacedRegion>{{"weights", 1, slice(whole, 2048, 8192)}});
  ASSERT_TRUE(spanning.has_value()) << spanning.error().message();
  ASSERT_TRUE(spanning->allocations.has_value());
  EXPECT_EQ(spanning->allocations->size(), 3u);
  auto leaving = regions_device(backend_, std::vector<PlacedRegion>{{"weights", 1, slice(whole, 12288, 8192)}});
  ASSERT_FALSE(leaving.has_value());
  EXPECT_NE(leaving.error().message().find("runs past the end of its device allocation"), std::string::npos);
}

TEST_F(DeviceScopeTest, TheScopeGivesTheCallerItsContextBack) {
  // A caller with device 1's context gets it back after a call on device 0.
  ASSERT_EQ(cudaSetDevice(1), 0);
  {
    auto scope = CurrentDevice::enter(backend_, 0);
    ASSERT_TRUE(scope.has_value());
    EXPECT_EQ(current(), 0);
  }
  EXPECT_EQ(current(), 1);

  // Already current, or no device to place: no change is made.
  standin_reset();
  {
    auto same = CurrentDevice::enter(backend_, 0);
    auto none = CurrentDevice::enter(backend_, std::nullopt);
    ASSERT_TRUE(same.has_value() && none.has_value());
  }
  EXPECT_EQ(standin_calls("cudaSetDevice"), 0);

  // A thread with no context is left with none, and device 0 gets none.
  std::thread([&] {
    {
      auto scope = CurrentDevice::enter(backend_, 1);
      ASSERT_TRUE(scope.has_value());
      EXPECT_EQ(current(), 1);
    }
    CUcontext ctx = reinterpret_cast<CUcontext>(1);
    EXPECT_EQ(cuCtxGetCurrent(&ctx), 0);
    EXPECT_EQ(ctx, nullptr);
  }).join();
  EXPECT_EQ(standin_contexts_created(0), 0);

  ASSERT_EQ(cudaSetDevice(1), 0);
  standin_fail("cudaSetDevice", 1, 46);
  auto refused = CurrentDevice::enter(backend_, 0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "cuda runtime error during cudaSetDevice: CudaStatus(46)");
  EXPECT_EQ(current(), 1);
}

// The module's steps for a call (check, scope, transfer) on device 1 from
// the main thread and from fresh threads: device 0 never gets a context.
TEST_F(DeviceScopeTest, CallsOnDeviceOneLeaveDeviceZeroAlone) {
  const DeviceRegion src = device_memory(1, 3 * 4096);
  const DeviceRegion dst = device_memory(1, 3 * 4096);
  const auto regions_in = [](const DeviceRegion& r) {
    std::vector<PlacedRegion> out;
    for (std::uint32_t i = 0; i < 3; ++i) out.push_back({"weights", i, {DevicePtr{r.ptr.value + i * 4096}, 4096}});
    return out;
  };
  const test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("one.vesk");
  const auto freeze_and_restore = [&] {
    const std::vector<PlacedRegion> from = regions_in(src), to = regions_in(dst);
    {
      auto placed = regions_device(backend_, from);
      ASSERT_TRUE(placed.has_value()) << placed.error().message();
      auto scope = CurrentDevice::enter(backend_, placed->device);
      ASSERT_TRUE(scope.has_value());
      std::vector<FreezeRequest> requests;
      for (const auto& p : from) requests.push_back({RegionKind::Weights, p.logical_id, p.region});
      FreezeConfig config;
      config.allocations = &*placed->allocations;
      auto frozen = freeze_pipelined_to_file(backend_, requests, config, path);
      ASSERT_TRUE(frozen.has_value()) << frozen.error().message();
    }
    auto placed = regions_device(backend_, to);
    ASSERT_TRUE(placed.has_value()) << placed.error().message();
    auto scope = CurrentDevice::enter(backend_, placed->device);
    ASSERT_TRUE(scope.has_value());
    PipelineConfig config;
    config.allocations = &*placed->allocations;
    const RegionResolver resolve = [&](RegionKind, std::uint32_t id) -> std::optional<DeviceRegion> {
      return to[id].region;
    };
    auto restored = restore_pipelined(backend_, path, resolve, config);
    ASSERT_TRUE(restored.has_value()) << restored.error().message();
  };

  standin_reset();
  freeze_and_restore();
  std::thread(freeze_and_restore).join();
  std::thread(freeze_and_restore).join();
  EXPECT_EQ(standin_contexts_created(0), 0);
  EXPECT_EQ(standin_contexts_created(1), 1);
}

}  // namespace
}  // namespace vesk
