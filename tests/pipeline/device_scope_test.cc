// The check of where the caller's regions live, and the scope that runs a
// call on their device.
#include "pipeline/device_scope.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "backend/real_cuda.h"
#include "standin/standin.h"

namespace vesk {
namespace {

class DeviceScopeTest : public testing::Test {
 protected:
  void SetUp() override { standin_reset(); }
  void TearDown() override {
    for (void* p : allocations_) EXPECT_EQ(cudaFree(p), 0);
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
  auto device = regions_device(backend_, regions);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  EXPECT_EQ(*device, std::optional<int>(1));
  EXPECT_EQ(standin_calls("cudaPointerGetAttributes"), 2);

  auto none = regions_device(backend_, std::vector<PlacedRegion>{{"weights", 1, DeviceRegion{DevicePtr{8}, 0}}});
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, std::nullopt);
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
  standin_fail("cudaPointerGetAttributes", 1, 999);
  EXPECT_EQ(msg({{"weights", 1, on_zero}}), "cuda runtime error during cudaPointerGetAttributes: CudaStatus(999)");
}

TEST_F(DeviceScopeTest, TheScopeRestoresTheCallersDevice) {
  {
    auto scope = CurrentDevice::enter(backend_, 1);
    ASSERT_TRUE(scope.has_value());
    EXPECT_EQ(current(), 1);
  }
  EXPECT_EQ(current(), 0);

  // Already current, or no device to place: no change is made.
  standin_reset();
  {
    auto same = CurrentDevice::enter(backend_, 0);
    auto none = CurrentDevice::enter(backend_, std::nullopt);
    ASSERT_TRUE(same.has_value() && none.has_value());
  }
  EXPECT_EQ(standin_calls("cudaSetDevice"), 0);

  // A caller on device 1 gets device 1 back after a call on device 0.
  ASSERT_EQ(cudaSetDevice(1), 0);
  {
    auto scope = CurrentDevice::enter(backend_, 0);
    ASSERT_TRUE(scope.has_value());
    EXPECT_EQ(current(), 0);
  }
  EXPECT_EQ(current(), 1);

  standin_fail("cudaSetDevice", 1, 46);
  auto refused = CurrentDevice::enter(backend_, 0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "cuda runtime error during cudaSetDevice: CudaStatus(46)");
  EXPECT_EQ(current(), 1);
}

}  // namespace
}  // namespace vesk
