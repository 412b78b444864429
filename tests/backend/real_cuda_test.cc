// RealCuda against the stand-in runtime: the translation of every status
// into its error, the checks made before any runtime call, and the
// write-combined fall-back.
#include "backend/real_cuda.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "cuda/driver.h"
#include "cuda/runtime.h"
#include "standin/standin.h"

namespace vesk {
namespace {

class RealCudaTest : public testing::Test {
 protected:
  void SetUp() override { standin_reset(); }
  void TearDown() override {
    // A failed call must not leave its error for the caller's next check.
    EXPECT_EQ(standin_peek_last_error(), 0) << "an error is left recorded for this thread";
    EXPECT_EQ(cudaDeviceSynchronize(), 0);
    standin_reset();
  }

  StreamHandle stream() {
    auto s = backend_.stream_create();
    EXPECT_TRUE(s.has_value());
    return s.value_or(StreamHandle{});
  }

  // Device memory that the test owns, as the caller's would be.
  struct DeviceMem {
    explicit DeviceMem(std::size_t n) { EXPECT_EQ(cudaMalloc(&ptr, n), 0); }
    ~DeviceMem() { cudaFree(ptr); }
    DeviceRegion region(std::uint64_t size) const {
      return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(ptr)}, size};
    }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(ptr); }
    void* ptr = nullptr;
  };

  RealCuda backend_;
};

void expect_cuda_error(const BackendError& e, const char* label, int code) {
  auto* cuda = std::get_if<BackendError::Cuda>(&e.v);
  ASSERT_NE(cuda, nullptr) << e.message();
  EXPECT_STREQ(cuda->op, label);
  EXPECT_EQ(cuda->status.code, code);
}

void expect_size_mismatch(const BackendError& e, std::uint64_t region, std::size_t host) {
  auto* m = std::get_if<BackendError::SizeMismatch>(&e.v);
  ASSERT_NE(m, nullptr) << e.message();
  EXPECT_EQ(m->region, region);
  EXPECT_EQ(m->host, host);
}

TEST(BackendErrorTest, Messages) {
  EXPECT_EQ((BackendError{BackendError::AllocationFailed{67108864}}.message()),
            "backend allocation failed: requested 67108864 bytes");
  EXPECT_EQ((BackendError{BackendError::SizeMismatch{4097, 0}}.message()),
            "size mismatch: region is 4097 bytes, host buffer is 0 bytes");
  EXPECT_EQ((BackendError{BackendError::SizeMismatch{UINT64_MAX, 12}}.message()),
            "size mismatch: region is 18446744073709551615 bytes, host buffer is 12 bytes");
  EXPECT_EQ((BackendError{BackendError::Cuda{CudaStatus{-3}, op_label::kMemcpyH2DRaw}}.message()),
            "cuda runtime error during cudaMemcpyAsync(h2d raw): CudaStatus(-3)");
  EXPECT_EQ((BackendError{BackendError::Cuda{CudaStatus{712}, op_label::kHostRegister}}.message()),
            "cuda runtime error during cudaHostRegister: CudaStatus(712)");
}

TEST_F(RealCudaTest, AllocPinnedGivesPageLockedMemoryFreedByTheBuffer) {
  {
    auto buf = backend_.alloc_pinned(10000);
    ASSERT_TRUE(buf.has_value()) << buf.error().message();
    EXPECT_EQ(buf->size(), 10000u);
    EXPECT_EQ(buf->as_slice().size(), 10000u);
    EXPECT_EQ(standin_live("pinned"), 1);
    EXPECT_EQ(standin_live("pinned_wc"), 0);
    std::memset(buf->data(), 1, buf->size());
  }
  EXPECT_EQ(standin_live("pinned"), 0);
  EXPECT_EQ(standin_calls("cudaFreeHost"), 1);
}

TEST_F(RealCudaTest, AllocPinnedTranslatesFailures) {
  standin_fail("cudaMallocHost", 1, 2);
  auto oom = backend_.alloc_pinned(64 << 20);
  ASSERT_FALSE(oom.has_value());
  EXPECT_EQ(oom.error().message(), "backend allocation failed: requested 67108864 bytes");

  standin_fail("cudaMallocHost", 1, 17);
  auto other = backend_.alloc_pinned(64);
  ASSERT_FALSE(other.has_value());
  expect_cuda_error(other.error(), "cudaMallocHost", 17);

  // Success without memory (the stand-in, like the runtime, does that for
  // zero bytes) is no buffer either.
  auto none = backend_.alloc_pinned(0);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().message(), "backend allocation failed: requested 0 bytes");
  EXPECT_EQ(standin_live("pinned"), 0);
}

TEST_F(RealCudaTest, WriteCombinedAllocationAndItsFallBack) {
  {
    auto wc = backend_.alloc_pinned_wc(4096);
    ASSERT_TRUE(wc.has_value());
    EXPECT_EQ(wc->size(), 4096u);
    EXPECT_EQ(standin_live("pinned_wc"), 1);
    EXPECT_EQ(standin_calls("cudaMallocHost"), 0);
  }
  EXPECT_EQ(standin_live("pinned"), 0);

  // Refused write-combined memory: an ordinary buffer instead, no error.
  standin_fail("cudaHostAlloc", 1, 1);
  {
    auto plain = backend_.alloc_pinned_wc(4096);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(standin_live("pinned"), 1);
    EXPECT_EQ(standin_live("pinned_wc"), 0);
    EXPECT_EQ(standin_calls("cudaMallocHost"), 1);
  }

  // Both refused: the fall-back's error, never a write-combined label.
  standin_fail("cudaHostAlloc", 0, 999);
  standin_fail("cudaMallocHost", 1, 2);
  auto oom = backend_.alloc_pinned_wc(1 << 20);
  ASSERT_FALSE(oom.has_value());
  EXPECT_EQ(oom.error().message(), "backend allocation failed: requested 1048576 bytes");
  standin_fail("cudaMallocHost", 1, 3);
  auto other = backend_.alloc_pinned_wc(1 << 20);
  ASSERT_FALSE(other.has_value());
  expect_cuda_error(other.error(), "cudaMallocHost", 3);
  EXPECT_EQ(standin_live("pinned"), 0);
}

TEST_F(RealCudaTest, StreamOperationsReportTheirLabelsAndCodesUnchanged) {
  standin_fail("cudaStreamCreate", 1, -5);
  auto bad = backend_.stream_create();
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "cuda runtime error during cudaStreamCreate: CudaStatus(-5)");

  StreamHandle s = stream();
  EXPECT_NE(s.value, 0u);
  EXPECT_EQ(standin_live("streams"), 1);
  standin_fail("cudaStreamSynchronize", 1, 700);
  auto sync = backend_.stream_sync(s);
  ASSERT_FALSE(sync.has_value());
  expect_cuda_error(sync.error(), "cudaStreamSynchronize", 700);
  EXPECT_TRUE(backend_.stream_sync(s).has_value());

  standin_fail("cudaStreamDestroy", 1, 4);
  auto destroy = backend_.stream_destroy(s);
  ASSERT_FALSE(destroy.has_value());
  expect_cuda_error(destroy.error(), "cudaStreamDestroy", 4);
  EXPECT_TRUE(backend_.stream_destroy(s).has_value());
  EXPECT_EQ(standin_live("streams"), 0);
}

TEST_F(RealCudaTest, BufferCopiesRoundTrip) {
  auto buf = backend_.alloc_pinned(8192);
  ASSERT_TRUE(buf.has_value());
  DeviceMem dev(4096);
  StreamHandle s = stream();
  for (std::size_t i = 0; i < 4096; ++i) buf->data()[1000 + i] = static_cast<std::byte>(i * 7);

  ASSERT_TRUE(backend_.memcpy_h2d_async(dev.region(4096), *buf, 1000, s).has_value());
  ASSERT_TRUE(backend_.stream_sync(s).has_value());
  EXPECT_EQ(dev.bytes()[4095], static_cast<std::uint8_t>(4095 * 7));

  ASSERT_TRUE(backend_.memcpy_d2h_async(*buf, 4096, dev.region(4096), s).has_value());
  ASSERT_TRUE(backend_.stream_sync(s).has_value());
  EXPECT_EQ(std::memcmp(buf->data() + 4096, dev.bytes(), 4096), 0);
  EXPECT_EQ(standin_pageable_copies(), 0);
  ASSERT_TRUE(backend_.stream_destroy(s).has_value());
}

TEST_F(RealCudaTest, BufferCopiesCheckTheHostSideBeforeAnyCall) {
  auto buf = backend_.alloc_pinned(100);
  ASSERT_TRUE(buf.has_value());
  DeviceMem dev(200);
  StreamHandle s = stream();

  // Exactly to the end: accepted, in both directions.
  EXPECT_TRUE(backend_.memcpy_h2d_async(dev.region(40), *buf, 60, s).has_value());
  EXPECT_TRUE(backend_.memcpy_d2h_async(*buf, 60, dev.region(40), s).has_value());
  EXPECT_TRUE(backend_.memcpy_h2d_async(dev.region(0), *buf, 100, s).has_value());
  ASSERT_EQ(standin_calls("cudaMemcpyAsync"), 3);

  // One byte over, and an offset beyond the end.
  auto over_h2d = backend_.memcpy_h2d_async(dev.region(41), *buf, 60, s);
  ASSERT_FALSE(over_h2d.has_value());
  expect_size_mismatch(over_h2d.error(), 41, 40);
  auto over_d2h = backend_.memcpy_d2h_async(*buf, 60, dev.region(41), s);
  ASSERT_FALSE(over_d2h.has_value());
  expect_size_mismatch(over_d2h.error(), 41, 40);
  auto beyond_h2d = backend_.memcpy_h2d_async(dev.region(1), *buf, 101, s);
  ASSERT_FALSE(beyond_h2d.has_value());
  expect_size_mismatch(beyond_h2d.error(), 1, 0);
  auto beyond_d2h = backend_.memcpy_d2h_async(*buf, SIZE_MAX, dev.region(0), s);
  ASSERT_FALSE(beyond_d2h.has_value());
  expect_size_mismatch(beyond_d2h.error(), 0, 0);
  // A region size that would wrap the offset arithmetic is still too big.
  auto huge = backend_.memcpy_h2d_async(dev.region(UINT64_MAX), *buf, 1, s);
  ASSERT_FALSE(huge.has_value());
  expect_size_mismatch(huge.error(), UINT64_MAX, 99);
  EXPECT_EQ(huge.error().message(), "size mismatch: region is 18446744073709551615 bytes, host buffer is 99 bytes");

  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 3);
  ASSERT_TRUE(backend_.stream_sync(s).has_value());
  ASSERT_TRUE(backend_.stream_destroy(s).has_value());
}

TEST_F(RealCudaTest, CopyFailuresCarryTheirDirection) {
  auto buf = backend_.alloc_pinned(64);
  ASSERT_TRUE(buf.has_value());
  DeviceMem dev(64);
  StreamHandle s = stream();
  standin_fail("cudaMemcpyAsync", 0, 1);
  auto h2d = backend_.memcpy_h2d_async(dev.region(64), *buf, 0, s);
  ASSERT_FALSE(h2d.has_value());
  EXPECT_EQ(h2d.error().message(), "cuda runtime error during cudaMemcpyAsync(h2d): CudaStatus(1)");
  auto d2h = backend_.memcpy_d2h_async(*buf, 0, dev.region(64), s);
  ASSERT_FALSE(d2h.has_value());
  EXPECT_EQ(d2h.error().message(), "cuda runtime error during cudaMemcpyAsync(d2h): CudaStatus(1)");
  auto raw = backend_.memcpy_h2d_async_raw(dev.region(64), reinterpret_cast<const std::uint8_t*>(buf->data()), 64, s);
  ASSERT_FALSE(raw.has_value());
  EXPECT_EQ(raw.error().message(), "cuda runtime error during cudaMemcpyAsync(h2d raw): CudaStatus(1)");
  standin_reset();
  ASSERT_TRUE(backend_.stream_destroy(s).has_value());
}

TEST_F(RealCudaTest, RawCopyChecksTheDeviceSide) {
  std::vector<std::uint8_t> src(300, 0xEE);
  DeviceMem dev(256);
  std::memset(dev.bytes(), 0, 256);
  StreamHandle s = stream();
  auto reg = backend_.host_register(src.data(), src.size());
  ASSERT_TRUE(reg.has_value());

  // Shorter than the region: only the first bytes are written.
  ASSERT_TRUE(backend_.memcpy_h2d_async_raw(dev.region(256), src.data(), 100, s).has_value());
  ASSERT_TRUE(backend_.stream_sync(s).has_value());
  EXPECT_EQ(dev.bytes()[99], 0xEE);
  EXPECT_EQ(dev.bytes()[100], 0);
  EXPECT_TRUE(backend_.memcpy_h2d_async_raw(dev.region(256), src.data(), 256, s).has_value());
  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 2);

  auto over = backend_.memcpy_h2d_async_raw(dev.region(256), src.data(), 257, s);
  ASSERT_FALSE(over.has_value());
  expect_size_mismatch(over.error(), 256, 257);
  EXPECT_EQ(standin_calls("cudaMemcpyAsync"), 2);
  EXPECT_EQ(standin_pageable_copies(), 0);
  ASSERT_TRUE(backend_.stream_sync(s).has_value());
  ASSERT_TRUE(backend_.stream_destroy(s).has_value());
}

TEST_F(RealCudaTest, EmptyRegistrationTouchesNoRuntime) {
  std::uint8_t byte = 0;
  {
    auto reg = backend_.host_register(&byte, 0);
    ASSERT_TRUE(reg.has_value());
    EXPECT_FALSE(reg->is_real());
    EXPECT_EQ(reg->ptr(), &byte);
    EXPECT_EQ(reg->size(), 0u);
  }
  EXPECT_EQ(standin_calls("cudaHostRegister"), 0);
  EXPECT_EQ(standin_calls("cudaHostUnregister"), 0);
  EXPECT_EQ(standin_calls("cudaGetLastError"), 0);
}

TEST_F(RealCudaTest, RegistrationLastsUntilDestroyed) {
  std::vector<std::uint8_t> mem(4096);
  {
    auto reg = backend_.host_register(mem.data(), mem.size());
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE(reg->is_real());
    EXPECT_EQ(reg->size(), 4096u);
    EXPECT_EQ(standin_live("registered"), 1);
    HostRegistration moved = std::move(*reg);
    EXPECT_FALSE(reg->is_real());
    EXPECT_EQ(standin_live("registered"), 1);
  }
  EXPECT_EQ(standin_live("registered"), 0);
  EXPECT_EQ(standin_calls("cudaHostUnregister"), 1);
}

TEST_F(RealCudaTest, RefusedRegistrationClearsTheRecordedError) {
  std::vector<std::uint8_t> mem(4096);
  auto first = backend_.host_register(mem.data(), mem.size());
  ASSERT_TRUE(first.has_value());
  auto second = backend_.host_register(mem.data() + 100, 100);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().message(), "cuda runtime error during cudaHostRegister: CudaStatus(712)");
  EXPECT_EQ(standin_calls("cudaGetLastError"), 1);
  EXPECT_EQ(cudaGetLastError(), 0) << "the refusal must not stay recorded for this thread";

  standin_fail("cudaHostRegister", 1, -2);
  std::vector<std::uint8_t> other(10);
  auto injected = backend_.host_register(other.data(), other.size());
  ASSERT_FALSE(injected.has_value());
  expect_cuda_error(injected.error(), "cudaHostRegister", -2);
  EXPECT_EQ(cudaGetLastError(), 0);
  EXPECT_EQ(standin_live("registered"), 1);
}

TEST_F(RealCudaTest, PinnedBufferMovesFreeExactlyOnce) {
  auto a = backend_.alloc_pinned(64);
  auto b = backend_.alloc_pinned(64);
  ASSERT_TRUE(a.has_value() && b.has_value());
  const std::byte* b_data = b->data();
  {
    PinnedBuffer holder = std::move(*a);
    EXPECT_EQ(a->data(), nullptr);
    EXPECT_EQ(a->size(), 0u);
    holder = std::move(*b);  // frees what holder had, takes b's memory
    EXPECT_EQ(holder.data(), b_data);
    EXPECT_EQ(standin_live("pinned"), 1);
    EXPECT_EQ(standin_calls("cudaFreeHost"), 1);
  }
  EXPECT_EQ(standin_live("pinned"), 0);
  EXPECT_EQ(standin_calls("cudaFreeHost"), 2);
}

TEST_F(RealCudaTest, RefusedReleasesLeaveNoRecordedError) {
  std::vector<std::uint8_t> mem(4096);
  {
    auto buf = backend_.alloc_pinned(64);
    auto reg = backend_.host_register(mem.data(), mem.size());
    ASSERT_TRUE(buf.has_value() && reg.has_value());
    standin_fail("cudaFreeHost", 1, 5);
    standin_fail("cudaHostUnregister", 1, 6);
  }
  EXPECT_EQ(standin_calls("cudaGetLastError"), 2);
  // The refusals left both alive in the runtime; the test releases them.
  EXPECT_EQ(cudaHostUnregister(mem.data()), 0);
  EXPECT_EQ(standin_live("pinned"), 1);
}

// Pages the process cannot write need the read-only flag; everything else
// keeps the default flags, a bytes object's writable memory included.
TEST_F(RealCudaTest, RegistrationFlagsFollowThePageProtection) {
  std::vector<std::uint8_t> writable(8192);
  {
    auto reg = backend_.host_register(writable.data(), writable.size());
    ASSERT_TRUE(reg.has_value()) << reg.error().message();
    EXPECT_EQ(standin_last_register_flags(), 0);
  }
  const std::size_t len = 3 * 4096;
  void* map = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* ro = static_cast<std::uint8_t*>(map);
  // The stand-in refuses the default flags there, as the runtime does.
  EXPECT_EQ(cudaHostRegister(ro, len, 0), 1);
  EXPECT_EQ(cudaGetLastError(), 1);
  {
    auto reg = backend_.host_register(ro + 100, len - 200);
    ASSERT_TRUE(reg.has_value()) << reg.error().message();
    EXPECT_EQ(standin_last_register_flags(), static_cast<long>(cudaHostRegisterReadOnly));
    EXPECT_EQ(standin_calls("cudaHostRegister"), 3);
  }
  // A range that is partly writable is still memory the process cannot
  // write as a whole.
  ASSERT_EQ(::mprotect(ro, 4096, PROT_READ | PROT_WRITE), 0);
  {
    auto reg = backend_.host_register(ro, len);
    ASSERT_TRUE(reg.has_value()) << reg.error().message();
    EXPECT_EQ(standin_last_register_flags(), static_cast<long>(cudaHostRegisterReadOnly));
  }
  // A device without read-only registration: an ordinary refusal.
  standin_set_readonly_register_supported(0);
  auto refused = backend_.host_register(ro + 4096, 4096);
  ASSERT_FALSE(refused.has_value());
  expect_cuda_error(refused.error(), "cudaHostRegister", 801);
  EXPECT_EQ(standin_live("registered"), 0);
  ::munmap(map, len);
}

TEST_F(RealCudaTest, PinnedBuffersAreAlignedForDirectIoWhateverTheRuntimeGives) {
  standin_set_pinned_alignment(256);
  {
    auto plain = backend_.alloc_pinned(10000);
    auto wc = backend_.alloc_pinned_wc(10000);
    ASSERT_TRUE(plain.has_value() && wc.has_value());
    for (const PinnedBuffer* b : {&*plain, &*wc}) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b->data()) % 4096, 0u);
      EXPECT_EQ(b->size(), 10000u);
      std::memset(const_cast<std::byte*>(b->data()), 7, b->size());  // the whole buffer is usable
    }
    EXPECT_EQ(standin_live("pinned"), 2);
    EXPECT_EQ(standin_live("pinned_wc"), 1);
  }
  // Each misaligned block was given back, and the padded one freed by its
  // own address.
  EXPECT_EQ(standin_live("pinned"), 0);
  EXPECT_EQ(standin_calls("cudaFreeHost"), 4);

  // A refused padded allocation is the allocation's failure.
  standin_fail("cudaMallocHost", 2, 2);
  auto oom = backend_.alloc_pinned(4096);
  ASSERT_FALSE(oom.has_value());
  EXPECT_EQ(oom.error().message(), "backend allocation failed: requested 4096 bytes");
  EXPECT_EQ(standin_live("pinned"), 0);
}

// Where an address lives, from the driver (with the allocation around it)
// and, where the driver cannot be reached, from the runtime. Against the
// CUDA 13 stand-in under AddressSanitizer, the runtime path proves that
// the structure it fills in is declared at its full size.
TEST_F(RealCudaTest, PointerLocationsAndDevices) {
  auto device = backend_.current_device();
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(*device, 0);
  ASSERT_TRUE(backend_.set_device(1).has_value());
  DeviceMem on_one(4096);
  ASSERT_TRUE(backend_.set_device(0).has_value());
  DeviceMem on_zero(4096);
  auto pinned = backend_.alloc_pinned(4096);
  ASSERT_TRUE(pinned.has_value());
  std::vector<std::uint8_t> heap(64);
  const std::size_t sizes[] = {8192, 4096};
  void* mapped = nullptr;
  ASSERT_EQ(standin_map_allocations(&mapped, sizes, 2), 0);
  const auto at = [](const void* p, std::size_t offset = 0) {
    return DevicePtr{reinterpret_cast<std::uintptr_t>(p) + offset};
  };

  for (const bool driver : {true, false}) {
    SCOPED_TRACE(driver ? "through the driver" : "through the runtime");
    set_driver_unreachable_for_testing(!driver);
    standin_reset();
    auto where = [&](DevicePtr p) {
      auto loc = backend_.pointer_location(p);
      EXPECT_TRUE(loc.has_value());
      return loc.value_or(PointerLocation{});
    };
    EXPECT_EQ(where(at(on_one.bytes(), 4000)).kind, PointerLocation::Kind::Device);
    EXPECT_EQ(where(at(on_one.bytes())).device, 1);
    EXPECT_EQ(where(at(on_zero.bytes())).device, 0);
    EXPECT_EQ(where(at(pinned->data())).kind, PointerLocation::Kind::Host);
    EXPECT_EQ(where(at(heap.data())).kind, PointerLocation::Kind::Unregistered);
    const PointerLocation inner = where(at(on_one.bytes(), 4000));
    const PointerLocation second = where(at(mapped, 9000));
    EXPECT_EQ(inner.ranges_known, driver);
    if (driver) {
      EXPECT_EQ(inner.range_start, at(on_one.bytes()).value);
      EXPECT_EQ(inner.range_size, 4096u);
      EXPECT_EQ(inner.mapping_start, inner.range_start);
      EXPECT_EQ(inner.mapping_size, 4096u);
      // One reserved range of two mapped allocations: the range, and the
      // mapping that holds the address.
      EXPECT_EQ(second.range_start, at(mapped).value);
      EXPECT_EQ(second.range_size, 12288u);
      EXPECT_EQ(second.mapping_start, at(mapped, 8192).value);
      EXPECT_EQ(second.mapping_size, 4096u);
    }
    // The driver is asked once per address, the runtime only without it;
    // neither query needs a context.
    EXPECT_EQ(standin_calls("cuPointerGetAttributes"), driver ? 7 : 0);
    EXPECT_EQ(standin_calls("cudaPointerGetAttributes"), driver ? 0 : 7);

    const char* label = driver ? "cuPointerGetAttributes" : "cudaPointerGetAttributes";
    standin_fail(label, 1, 3);
    auto failed = backend_.pointer_location(DevicePtr{1});
    ASSERT_FALSE(failed.has_value());
    expect_cuda_error(failed.error(), label, 3);
  }
  set_driver_unreachable_for_testing(false);
  EXPECT_EQ(cudaFree(mapped), 0);

  auto bad = backend_.set_device(2);
  ASSERT_FALSE(bad.has_value());
  expect_cuda_error(bad.error(), "cudaSetDevice", 101);
  EXPECT_EQ(backend_.current_device().value_or(-1), 0);
}

// The context of the calling thread, read and set through the driver
// without creating one.
TEST_F(RealCudaTest, ThreadContextsComeAndGoWithoutCreatingAny) {
  auto none = backend_.current_context();
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->known);
  EXPECT_EQ(none->handle, 0u);
  ASSERT_TRUE(backend_.set_device(1).has_value());
  auto on_one = backend_.current_context();
  ASSERT_TRUE(on_one.has_value());
  EXPECT_NE(on_one->handle, 0u);
  ASSERT_TRUE(backend_.set_context(0).has_value());
  EXPECT_EQ(backend_.current_context().value_or(ThreadContext{}).handle, 0u);
  ASSERT_TRUE(backend_.set_context(on_one->handle).has_value());
  EXPECT_EQ(backend_.current_device().value_or(-1), 1);
  EXPECT_EQ(standin_contexts_created(0), 0);
  EXPECT_EQ(standin_contexts_created(1), 1);

  standin_fail("cuCtxSetCurrent", 1, 201);
  auto refused = backend_.set_context(0);
  ASSERT_FALSE(refused.has_value());
  expect_cuda_error(refused.error(), "cuCtxSetCurrent", 201);
  ASSERT_TRUE(backend_.set_device(0).has_value());
}

// The runtime's major version matches the stand-in the binary was linked
// with, so that both flavours really run.
TEST(RuntimeFlavourTest, TheBoundRuntimeSaysItsVersion) {
  ASSERT_NE(cuda().cudaRuntimeGetVersion, nullptr);
  int version = 0;
  ASSERT_EQ(cuda().cudaRuntimeGetVersion(&version), 0);
  const bool thirteen = cuda().loaded_from.ends_with(".so.13");
  EXPECT_EQ(version / 1000, thirteen ? 13 : 12) << cuda().loaded_from;
  EXPECT_NE(cuda_driver(), nullptr);
}

}  // namespace
}  // namespace vesk
