// The stand-in must make the faults that the pipeline tests look for
// observable: late copies, missed waits, stale registrations, memory freed
// under a pending copy. Each test here shows one of them really happens.
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Bytes read or written behind a pending copy's back on purpose, to show
// what an unsynchronised caller would see. Kept out of ThreadSanitizer's
// view: the race is the point of these tests, not a fault of the stand-in.
__attribute__((no_sanitize("thread"))) __attribute__((noinline)) std::uint8_t peek(const void* p, std::size_t i) {
  return static_cast<const volatile std::uint8_t*>(p)[i];
}

__attribute__((no_sanitize("thread"))) __attribute__((noinline)) void poke_all(void* p, std::size_t n, std::uint8_t v) {
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
    EXPECT_EQ(cudaStreamSynchronize(stream_), 0);
    EXPECT_EQ(cudaStreamDestroy(stream_), 0);
    EXPECT_EQ(cudaDeviceSynchronize(), 0);
    standin_set_delay_us(20);
    standin_reset();
  }

  void* pinned(std::size_t n) {
    void* p = nullptr;
    EXPECT_EQ(cudaMallocHost(&p, n), 0);
    return p;
  }

  cudaStream_t stream_ = nullptr;
};

TEST_F(StandinTest, CopyLandsOnlyAfterTheDelayAndIsVisibleAfterSync) {
  standin_set_delay_us(200'000);
  auto* host = static_cast<std::uint8_t*>(pinned(4096));
  void* dev = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 4096), 0);
  std::memset(dev, 0x11, 4096);
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
  standin_set_delay_us(50'000);
  auto* host = static_cast<std::uint8_t*>(pinned(1024));
  void* dev = nullptr;
  ASSERT_EQ(cudaMalloc(&dev, 1024), 0);
  std::memset(host, 0x33, 1024);
  ASSERT_EQ(cudaMemcpyAsync(dev, host, 1024, cudaMemcpyHostToDevice, stream_), 0);
  poke_all(host, 1024, 0x44);  // the fault: no wait before the refill
  ASSERT_EQ(cudaStreamSynchronize(stream_), 0);
  // The device received the refilled bytes, not the ones meant for it.
  EXPECT_EQ(static_cast<std::uint8_t*>(dev)[0], 0x44);
  EXPECT_EQ(cudaFree(dev), 0);
  EXPECT_EQ(cudaFreeHost(host), 0);
}

}  // namespace
