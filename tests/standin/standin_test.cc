// The stand-in must make the faults that the pipeline tests look for
// observable: late copies, missed waits, stale registrations, memory freed
// under a pending copy, copies from pageable memory. Each test here shows
// that one of them really happens, so that a pipeline test cannot pass
// merely because the stand-in was lenient.
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Bytes read or written behind a pending copy's back on purpose, to show
// what an unsynchronised caller would see. Kept out of ThreadSanitizer's
// view: that race is what these tests demonstrate.
__attribute__((no_sanitize("thread"))) __attribute__((noinline)) std::uint8_t peek(const void* p, std::size_t i) {
  return static_cast<const volatile std::uint8_t*>(p)[i];
}

__attribute__((no_sanitize("thread"))) __attribute__((noinline)) void poke_all(void* p, std::size_t n,
                                                                                 std::uint8_t v) {
  auto* b = static_cast<volatile std::uint8_t*>(p);
  for (std::size_t i = 0; i < n; ++i) b[i] = v;
}

class StandinTest : public testing::Test {
 protected:
  void SetUp() override {
    standin_reset();
    standin_set_delay_us(20);
    ASSERT_EQ(cudaStreamCreate(&stream_), 0);
  }
  void TearDown() override {
    if (stream_ != nullptr) {
      EXPECT_EQ(cudaStreamSynchronize(stream_), 0);
      EXPECT_EQ(cudaStreamDestroy(stream_), 0);
    }
    EXPECT_EQ(cudaDeviceSynchronize(), 0);
    standin_set_delay_us(20);
    standin_reset();
  }

  static std::uint8_t* pinned(std::size_t n) {
    void* p = nullptr;
    EXPECT_EQ(cudaMallocHost(&p, n), 0);
    return static_cast<std::uint8_t*>(p);
  }
  static std::uint8_t* device(std::size_t n, std::uint8_t fill) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, n), 0);
    EXPECT_EQ(cudaMemset(p, fill, n), 0);
    return static_cast<std::uint8_t*>(p);
  }

  cudaStream_t stream_ = nullptr;
};

TEST_F(StandinTest, CopyLandsOnlyAfterTheDelayAndIsVisibleAfterSync) {
  standin_set_delay_us(200'000);
  std::uint8_t* host = pinned(4096);
  std::uint8_t* dev = device(4096, 0x11);
  std::memset(host, 0x22, 4096);

  ASSERT_EQ(cudaMemcpyAsync(host, dev, 4096, cudaMemcpyDeviceToHost, stream_), 0);
  // Queued, not yet run: an early reader sees the old bytes.
  EXPECT_EQ(peek(host, 0), 0x22);
  EXPECT_EQ(peek(host, 4095), 0x22);

  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(host[0], 0x11);
  EXPECT_EQ(host[4095], 0x11);
  EXPECT_EQ(cudaFree(dev), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, RefillingASourceBeforeWaitingCorruptsTheCopy) {
  standin_set_delay_us(200'000);
  std::uint8_t* host = pinned(1024);
  std::uint8_t* dev = device(1024, 0);
  std::memset(host, 0x33, 1024);
  ASSERT_EQ(cudaMemcpyAsync(dev, host, 1024, cudaMemcpyHostToDevice, stream_), 0);
  poke_all(host, 1024, 0x44);  // the fault: no wait before the refill
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  // The device received the refilled bytes, not the ones meant for it.
  EXPECT_EQ(dev[0], 0x44);
  EXPECT_EQ(dev[1023], 0x44);
  EXPECT_EQ(cudaFree(dev), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, CopiesOnOneStreamRunInOrder) {
  std::uint8_t* host = pinned(64);
  std::uint8_t* a = device(64, 0xAA);
  std::uint8_t* b = device(64, 0xBB);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(cudaMemcpyAsync(host, a, 64, cudaMemcpyDeviceToHost, stream_), 0);
    ASSERT_EQ(cudaMemcpyAsync(host, b, 64, cudaMemcpyDeviceToHost, stream_), 0);
  }
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(host[0], 0xBB);
  EXPECT_EQ(cudaFree(a), 0);
  EXPECT_EQ(cudaFree(b), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, PageLockedAllocationsArePageAlignedAndCountedByKind) {
  std::uint8_t* plain = pinned(100);
  void* wc = nullptr;
  ASSERT_EQ(cudaHostAlloc(&wc, 100, cudaHostAllocWriteCombined), 0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(plain) % 4096, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wc) % 4096, 0u);
  EXPECT_EQ(standin_live("pinned"), 2);
  EXPECT_EQ(standin_live("pinned_wc"), 1);
  EXPECT_EQ(cudaFreeHost(wc), 0);
  EXPECT_EQ(cudaFreeHost(plain), 0);
  EXPECT_EQ(standin_live("pinned"), 0);
  EXPECT_EQ(standin_live("pinned_wc"), 0);
  // Freeing what is not page-locked memory is refused.
  int local = 0;
  EXPECT_EQ(cudaFreeHost(&local), 1);
  EXPECT_EQ(cudaGetLastError(), 1);
}

TEST_F(StandinTest, OverlappingRegistrationIsRefusedWithAStickyError) {
  std::vector<std::uint8_t> mem(8192);
  ASSERT_EQ(cudaHostRegister(mem.data(), 4096, 0), 0);
  EXPECT_EQ(standin_live("registered"), 1);
  EXPECT_EQ(cudaHostRegister(mem.data() + 4095, 100, 0), 712);
  // Adjacent, not overlapping: accepted.
  ASSERT_EQ(cudaHostRegister(mem.data() + 4096, 4096, 0), 0);
  EXPECT_EQ(standin_live("registered"), 2);

  EXPECT_EQ(cudaGetLastError(), 712);
  EXPECT_EQ(cudaGetLastError(), 0) << "reading the error clears it";

  EXPECT_EQ(cudaHostUnregister(mem.data() + 1), 713) << "only the registered start is known";
  EXPECT_EQ(cudaHostUnregister(mem.data()), 0);
  EXPECT_EQ(cudaHostUnregister(mem.data()), 713);
  EXPECT_EQ(cudaHostUnregister(mem.data() + 4096), 0);
  EXPECT_EQ(standin_live("registered"), 0);
  EXPECT_EQ(cudaGetLastError(), 713);
}

TEST_F(StandinTest, RecordedErrorsBelongToTheirThread) {
  EXPECT_EQ(cudaHostUnregister(reinterpret_cast<void*>(0x1000)), 713);
  cudaError_t seen_elsewhere = -1;
  std::thread([&] { seen_elsewhere = cudaGetLastError(); }).join();
  EXPECT_EQ(seen_elsewhere, 0);
  EXPECT_EQ(cudaGetLastError(), 713);
}

TEST_F(StandinTest, PeekingAtTheRecordedErrorLeavesIt) {
  EXPECT_EQ(standin_peek_last_error(), 0);
  EXPECT_EQ(cudaStreamDestroy(reinterpret_cast<cudaStream_t>(0x10)), 400);
  EXPECT_EQ(standin_peek_last_error(), 400);
  EXPECT_EQ(standin_peek_last_error(), 400);
  EXPECT_EQ(cudaGetLastError(), 400);
  EXPECT_EQ(standin_peek_last_error(), 0);
  standin_fail("cudaSetDevice", 1, 9);  // injected failures are recorded too
  EXPECT_EQ(cudaSetDevice(1), 9);
  EXPECT_EQ(standin_peek_last_error(), 9);
  standin_reset();
  EXPECT_EQ(standin_peek_last_error(), 0) << "a reset makes every recorded error stale";
}

// Two devices, as a multi-GPU host: memory and streams belong to the device
// current when they were made, and a copy between a stream and another
// device's memory is the fault a single-device stand-in would hide.
TEST_F(StandinTest, CopiesAcrossDevicesAreHazards) {
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(cudaSetDevice(2), 101);
  EXPECT_EQ(cudaGetLastError(), 101);
  std::uint8_t* host = pinned(4096);
  std::uint8_t* on_zero = device(4096, 0);
  ASSERT_EQ(cudaSetDevice(1), 0);
  std::uint8_t* on_one = device(4096, 0);
  cudaStream_t stream_one = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream_one), 0);
  int current = -1;
  std::thread([&] { cudaGetDevice(&current); }).join();
  EXPECT_EQ(current, 0) << "the current device belongs to the thread";

  cudaPointerAttributes a{};
  ASSERT_EQ(cudaPointerGetAttributes(&a, on_one + 100), 0);
  EXPECT_EQ(a.type, cudaMemoryTypeDevice);
  EXPECT_EQ(a.device, 1);
  ASSERT_EQ(cudaPointerGetAttributes(&a, host), 0);
  EXPECT_EQ(a.type, cudaMemoryTypeHost);
  ASSERT_EQ(cudaPointerGetAttributes(&a, &current), 0);
  EXPECT_EQ(a.type, cudaMemoryTypeUnregistered);

  // Each copy is waited for before the next: they share the host buffer.
  auto copy = [](void* dst, const void* src, cudaMemcpyKind kind, cudaStream_t s) {
    EXPECT_EQ(cudaMemcpyAsync(dst, src, 4096, kind, s), 0);
    EXPECT_EQ(cudaDeviceSynchronize(), 0);
  };
  copy(on_one, host, cudaMemcpyHostToDevice, stream_one);
  copy(host, on_zero, cudaMemcpyDeviceToHost, stream_);
  EXPECT_EQ(standin_hazards(), 0);
  copy(on_zero, host, cudaMemcpyHostToDevice, stream_one);
  EXPECT_EQ(standin_hazards(), 1);
  copy(host, on_one, cudaMemcpyDeviceToHost, stream_);
  EXPECT_EQ(standin_hazards(), 2);
  // The default stream is the current device's.
  copy(on_one, host, cudaMemcpyHostToDevice, nullptr);
  EXPECT_EQ(standin_hazards(), 2);

  EXPECT_EQ(cudaStreamSynchronize(stream_one), 0);
  EXPECT_EQ(cudaStreamDestroy(stream_one), 0);
  EXPECT_EQ(cudaSetDevice(0), 0);
  EXPECT_EQ(cudaDeviceSynchronize(), 0);
  EXPECT_EQ(cudaFree(on_one), 0);
  EXPECT_EQ(cudaFree(on_zero), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, ShallowlyAlignedPageLockedMemoryOnRequest) {
  standin_set_pinned_alignment(256);
  std::uint8_t* p = pinned(5000);
  void* wc = nullptr;
  ASSERT_EQ(cudaHostAlloc(&wc, 100, cudaHostAllocWriteCombined), 0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 4096, 256u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wc) % 4096, 256u);
  poke_all(p, 5000, 1);  // all of it is usable
  EXPECT_EQ(cudaFreeHost(p), 0);
  EXPECT_EQ(cudaFreeHost(wc), 0);
  standin_reset();
  std::uint8_t* q = pinned(100);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(q) % 4096, 0u) << "a reset restores page alignment";
  EXPECT_EQ(cudaFreeHost(q), 0);
}

TEST_F(StandinTest, FreeingPinnedMemoryUnderAPendingCopyIsAHazardAndWaits) {
  standin_set_delay_us(200'000);
  std::uint8_t* host = pinned(4096);
  std::uint8_t* dev = device(4096, 0);
  std::memset(host, 0x5A, 4096);
  ASSERT_EQ(cudaMemcpyAsync(dev, host, 4096, cudaMemcpyHostToDevice, stream_), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
  EXPECT_EQ(standin_hazards(), 1);
  // The free waited for the copy, which therefore read valid memory.
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(dev[4095], 0x5A);

  // Freed after the copy finished: no hazard.
  host = pinned(4096);
  ASSERT_EQ(cudaMemcpyAsync(host, dev, 4096, cudaMemcpyDeviceToHost, stream_), 0);
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
  EXPECT_EQ(standin_hazards(), 1);
  EXPECT_EQ(cudaFree(dev), 0);
}

TEST_F(StandinTest, EndingARegistrationUnderAPendingCopyIsAHazard) {
  standin_set_delay_us(200'000);
  std::vector<std::uint8_t> mem(8192, 0x6B);
  std::uint8_t* dev = device(100, 0);
  ASSERT_EQ(cudaHostRegister(mem.data(), mem.size(), 0), 0);
  // The copy touches only the middle of the registered range.
  ASSERT_EQ(cudaMemcpyAsync(dev, mem.data() + 5000, 100, cudaMemcpyHostToDevice, stream_), 0);
  EXPECT_EQ(cudaHostUnregister(mem.data()), 0);
  EXPECT_EQ(standin_hazards(), 1);
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(dev[99], 0x6B);
  standin_reset();
  EXPECT_EQ(standin_hazards(), 0);
  EXPECT_EQ(cudaFree(dev), 0);
}

TEST_F(StandinTest, CopiesFromPageableMemoryAreCounted) {
  std::uint8_t* host = pinned(4096);
  std::uint8_t* dev = device(8192, 0);
  std::vector<std::uint8_t> pageable(8192);
  auto h2d = [&](const void* src, std::size_t n) {
    ASSERT_EQ(cudaMemcpyAsync(dev, src, n, cudaMemcpyHostToDevice, stream_), 0);
  };
  auto d2h = [&](void* dst, std::size_t n) {
    ASSERT_EQ(cudaMemcpyAsync(dst, dev, n, cudaMemcpyDeviceToHost, stream_), 0);
  };

  h2d(host, 4096);
  h2d(host + 4000, 96);
  d2h(host + 10, 100);
  EXPECT_EQ(standin_pageable_copies(), 0);

  d2h(pageable.data(), 100);
  h2d(pageable.data(), 100);
  // Only the host side matters: device-side pointers may be anything.
  ASSERT_EQ(cudaMemcpyAsync(pageable.data(), host, 100, cudaMemcpyHostToDevice, stream_), 0);
  EXPECT_EQ(standin_pageable_copies(), 2);

  // Registered memory counts as page-locked, but the whole range must lie
  // inside a single registration.
  ASSERT_EQ(cudaHostRegister(pageable.data(), 4096, 0), 0);
  h2d(pageable.data() + 100, 3996);
  d2h(pageable.data(), 4096);
  EXPECT_EQ(standin_pageable_copies(), 2);
  h2d(pageable.data() + 4000, 200);  // runs past the registration's end
  ASSERT_EQ(cudaHostRegister(pageable.data() + 4096, 4096, 0), 0);
  h2d(pageable.data() + 4000, 200);  // spans two registrations
  EXPECT_EQ(standin_pageable_copies(), 4);

  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(cudaHostUnregister(pageable.data()), 0);
  EXPECT_EQ(cudaHostUnregister(pageable.data() + 4096), 0);
  standin_reset();
  EXPECT_EQ(standin_pageable_copies(), 0);
  EXPECT_EQ(cudaFree(dev), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, InjectedFailuresFireAtTheirPositionAndStillCount) {
  standin_fail("cudaMallocHost", 2, 2);
  standin_fail("cudaMallocHost", 4, 999);
  standin_fail("cudaHostRegister", 1, 3);

  void* p1 = nullptr;
  ASSERT_EQ(cudaMallocHost(&p1, 64), 0);
  void* p2 = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(cudaMallocHost(&p2, 64), 2);
  EXPECT_EQ(p2, reinterpret_cast<void*>(0x1234)) << "a refused allocation leaves the out-pointer alone";
  EXPECT_EQ(cudaGetLastError(), 2);
  EXPECT_EQ(standin_live("pinned"), 1);
  void* p3 = nullptr;
  ASSERT_EQ(cudaMallocHost(&p3, 64), 0);
  void* p4 = nullptr;
  EXPECT_EQ(cudaMallocHost(&p4, 64), 999);
  EXPECT_EQ(p4, nullptr);

  std::vector<std::uint8_t> mem(64);
  EXPECT_EQ(cudaHostRegister(mem.data(), 64, 0), 3);
  EXPECT_EQ(standin_live("registered"), 0);
  EXPECT_EQ(cudaHostRegister(mem.data(), 64, 0), 0);
  EXPECT_EQ(cudaHostUnregister(mem.data()), 0);

  EXPECT_EQ(standin_calls("cudaMallocHost"), 4);
  EXPECT_EQ(standin_calls("cudaHostRegister"), 2);
  EXPECT_EQ(standin_calls("cudaHostUnregister"), 1);
  EXPECT_EQ(standin_calls("cudaGetLastError"), 1);
  EXPECT_EQ(cudaFreeHost(p1), 0);
  EXPECT_EQ(cudaFreeHost(p3), 0);
  EXPECT_EQ(standin_calls("cudaFreeHost"), 2);
}

TEST_F(StandinTest, NthZeroFailsEveryCallUntilReset) {
  standin_reset();  // forget the fixture's own stream creation
  standin_fail("cudaStreamCreate", 0, -7);
  cudaStream_t s = nullptr;
  EXPECT_EQ(cudaStreamCreate(&s), -7);
  EXPECT_EQ(cudaStreamCreate(&s), -7);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(standin_live("streams"), 1);
  EXPECT_EQ(standin_calls("cudaStreamCreate"), 2);
  standin_reset();
  EXPECT_EQ(standin_calls("cudaStreamCreate"), 0);
  EXPECT_EQ(cudaGetLastError(), 0) << "a reset forgets recorded errors";
  ASSERT_EQ(cudaStreamCreate(&s), 0);
  EXPECT_EQ(cudaStreamDestroy(s), 0);
}

TEST_F(StandinTest, RefusedCopyQueuesNothing) {
  std::uint8_t* host = pinned(16);
  std::uint8_t* dev = device(16, 0x01);
  std::memset(host, 0x02, 16);
  standin_fail("cudaMemcpyAsync", 1, 700);
  EXPECT_EQ(cudaMemcpyAsync(dev, host, 16, cudaMemcpyHostToDevice, stream_), 700);
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(dev[0], 0x01);
  EXPECT_EQ(standin_pageable_copies(), 0);
  EXPECT_EQ(cudaFree(dev), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

TEST_F(StandinTest, ZeroLengthCopiesNeedNoMemory) {
  EXPECT_EQ(cudaMemcpyAsync(nullptr, nullptr, 0, cudaMemcpyHostToDevice, stream_), 0);
  EXPECT_EQ(cudaMemcpyAsync(nullptr, nullptr, 0, cudaMemcpyDeviceToHost, stream_), 0);
  EXPECT_EQ(cudaStreamSynchronize(stream_), 0);
  EXPECT_EQ(standin_pageable_copies(), 0);
  EXPECT_EQ(cudaMemcpyAsync(nullptr, nullptr, 1, cudaMemcpyHostToDevice, stream_), 1);
  EXPECT_EQ(cudaGetLastError(), 1);
}

TEST_F(StandinTest, FailingSynchronizeStillWaitsForTheQueue) {
  standin_set_delay_us(200'000);
  std::uint8_t* host = pinned(16);
  std::uint8_t* dev = device(16, 0x0C);
  ASSERT_EQ(cudaMemcpyAsync(host, dev, 16, cudaMemcpyDeviceToHost, stream_), 0);
  standin_fail("cudaStreamSynchronize", 1, 719);
  EXPECT_EQ(cudaStreamSynchronize(stream_), 719);
  EXPECT_EQ(host[15], 0x0C);
  EXPECT_EQ(cudaGetLastError(), 719);
  EXPECT_EQ(cudaFreeHost(host), 0);
  EXPECT_EQ(standin_hazards(), 0);
  EXPECT_EQ(cudaFree(dev), 0);
}

TEST_F(StandinTest, DestroyReturnsAtOnceAndQueuedCopiesStillRun) {
  standin_set_delay_us(200'000);
  std::uint8_t* host = pinned(256);
  std::uint8_t* dev = device(256, 0x77);
  std::memset(host, 0, 256);
  ASSERT_EQ(cudaMemcpyAsync(host, dev, 256, cudaMemcpyDeviceToHost, stream_), 0);
  EXPECT_EQ(cudaStreamDestroy(stream_), 0);
  EXPECT_EQ(standin_live("streams"), 0);
  EXPECT_EQ(peek(host, 0), 0) << "destroy did not wait for the queue";
  EXPECT_EQ(cudaStreamSynchronize(stream_), 400) << "a destroyed handle is unknown";
  EXPECT_EQ(cudaMemcpyAsync(host, dev, 256, cudaMemcpyDeviceToHost, stream_), 400);
  stream_ = nullptr;

  ASSERT_EQ(cudaDeviceSynchronize(), 0);
  EXPECT_EQ(host[0], 0x77);
  EXPECT_EQ(host[255], 0x77);
  EXPECT_EQ(cudaFreeHost(host), 0);
  EXPECT_EQ(standin_hazards(), 0);
  EXPECT_EQ(cudaFree(dev), 0);
}

TEST_F(StandinTest, LiveCountsFollowCreationAndRelease) {
  void* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 10), 0);
  EXPECT_EQ(standin_live("device"), 1);
  EXPECT_EQ(standin_live("streams"), 1);
  EXPECT_EQ(cudaFree(d), 0);
  EXPECT_EQ(standin_live("device"), 0);
  EXPECT_EQ(standin_live("no such kind"), -1);
  // Zero bytes: success without memory, as the real runtime does it.
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMallocHost(&p, 0), 0);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(standin_live("pinned"), 0);
}

TEST_F(StandinTest, StreamsOfManyThreadsWorkConcurrently) {
  constexpr int kThreads = 4;
  constexpr std::size_t kSize = 1 << 16;
  std::vector<std::thread> threads;
  std::vector<int> good(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &good] {
      cudaStream_t s = nullptr;
      if (cudaStreamCreate(&s) != 0) return;
      std::uint8_t* buf = pinned(kSize);
      std::uint8_t* dev = device(kSize, 0);
      int ok = 0;
      for (int round = 0; round < 20; ++round) {
        auto value = static_cast<std::uint8_t>(t * 16 + round);
        std::memset(buf, value, kSize);
        cudaMemcpyAsync(dev, buf, kSize, cudaMemcpyHostToDevice, s);
        cudaStreamSynchronize(s);
        std::memset(buf, 0, kSize);
        cudaMemcpyAsync(buf, dev, kSize, cudaMemcpyDeviceToHost, s);
        cudaStreamSynchronize(s);
        ok += buf[0] == value && buf[kSize - 1] == value ? 1 : 0;
      }
      cudaStreamDestroy(s);
      cudaFreeHost(buf);
      cudaFree(dev);
      good[t] = ok;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], 20) << "thread " << t;
  EXPECT_EQ(standin_hazards(), 0);
  EXPECT_EQ(standin_live("streams"), 1);
}

}  // namespace
