#include "backend/real_cuda.h"

#include <cstdint>

#include "backend/page_protection.h"
#include "cuda/driver.h"
#include "cuda/runtime.h"

namespace vesk {

namespace {

BackendError cuda_error(cudaError_t status, const char* op) {
  return BackendError{BackendError::Cuda{CudaStatus{status}, op}};
}

cudaStream_t to_stream(const StreamHandle& s) { return reinterpret_cast<cudaStream_t>(static_cast<std::uintptr_t>(s.value)); }

void* device_ptr(const DeviceRegion& r) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(r.ptr.value)); }

// A copy of region.size bytes at host_offset must fit inside a buffer of
// host_len bytes; the error reports what the buffer has left past the offset.
BackendResult<void> check_host_side(const DeviceRegion& region, std::size_t host_len, std::size_t host_offset) {
  if (host_offset > host_len || region.size > host_len - host_offset) {
    std::size_t left = host_offset > host_len ? 0 : host_len - host_offset;
    return std::unexpected(BackendError{BackendError::SizeMismatch{region.size, left}});
  }
  return {};
}

// The runtime records a failed call's error for the calling thread, where
// the caller's own later error checks would find it; every failure path
// clears it exactly once.
BackendError failed(cudaError_t status, const char* op) {
  (void)cuda().cudaGetLastError();
  return cuda_error(status, op);
}

struct RawPinned {
  void* base;  // what the runtime returned, to be freed; null: no memory
  void* ptr;   // the buffer's first byte, aligned to kPinnedAlignment
};

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % kPinnedAlignment == 0; }

// One page-locked allocation of `bytes` through `allocate`. A block that is
// not aligned for direct I/O is given back and replaced by one of
// kPinnedAlignment bytes more, whose aligned interior is used. A failed
// call's status is returned with the thread's recorded error cleared.
template <class Allocate>
std::expected<RawPinned, cudaError_t> allocate_aligned(std::size_t bytes, Allocate allocate) {
  void* ptr = nullptr;
  cudaError_t status = allocate(&ptr, bytes);
  if (status != cudaSuccess) {
    (void)cuda().cudaGetLastError();
    return std::unexpected(status);
  }
  if (ptr == nullptr || aligned(ptr)) return RawPinned{ptr, ptr};
  if (cuda().cudaFreeHost(ptr) != cudaSuccess) (void)cuda().cudaGetLastError();
  if (bytes > SIZE_MAX - kPinnedAlignment) return std::unexpected(cudaErrorMemoryAllocation);
  void* base = nullptr;
  status = allocate(&base, bytes + kPinnedAlignment);
  if (status != cudaSuccess) {
    (void)cuda().cudaGetLastError();
    return std::unexpected(status);
  }
  if (base == nullptr) return RawPinned{nullptr, nullptr};
  auto at = reinterpret_cast<std::uintptr_t>(base);
  at = (at + kPinnedAlignment - 1) / kPinnedAlignment * kPinnedAlignment;
  return RawPinned{base, reinterpret_cast<void*>(at)};
}

PointerLocation::Kind location_kind(cudaMemoryType type) {
  switch (type) {
    case cudaMemoryTypeHost:
      return PointerLocation::Kind::Host;
    case cudaMemoryTypeDevice:
      return PointerLocation::Kind::Device;
    case cudaMemoryTypeManaged:
      return PointerLocation::Kind::Managed;
    default:
      return PointerLocation::Kind::Unregistered;
  }
}

}  // namespace

BackendResult<PinnedBuffer> RealCuda::alloc_pinned(std::size_t bytes) const {
  auto raw = allocate_aligned(bytes, [](void** p, std::size_t n) { return cuda().cudaMallocHost(p, n); });
  if (!raw && raw.error() == cudaErrorMemoryAllocation) {
    return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
  }
  if (!raw) return std::unexpected(cuda_error(raw.error(), op_label::kMallocHost));
  if (raw->base == nullptr) return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
  return PinnedBuffer(raw->base, raw->ptr, bytes);
}

BackendResult<PinnedBuffer> RealCuda::alloc_pinned_wc(std::size_t bytes) const {
  auto raw = allocate_aligned(
      bytes, [](void** p, std::size_t n) { return cuda().cudaHostAlloc(p, n, cudaHostAllocWriteCombined); });
  if (raw && raw->base != nullptr) return PinnedBuffer(raw->base, raw->ptr, bytes);
  // Write-combined memory is only an optimisation: whatever went wrong, an
  // ordinary page-locked buffer serves the same purpose.
  return alloc_pinned(bytes);
}

BackendResult<StreamHandle> RealCuda::stream_create() const {
  cudaStream_t stream = nullptr;
  cudaError_t status = cuda().cudaStreamCreate(&stream);
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kStreamCreate));
  return StreamHandle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(stream))};
}

BackendResult<void> RealCuda::stream_destroy(StreamHandle stream) const {
  cudaError_t status = cuda().cudaStreamDestroy(to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kStreamDestroy));
  return {};
}

BackendResult<void> RealCuda::stream_sync(const StreamHandle& stream) const {
  cudaError_t status = cuda().cudaStreamSynchronize(to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kStreamSynchronize));
  return {};
}

BackendResult<void> RealCuda::memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src,
                                               std::size_t src_offset, const StreamHandle& stream) const {
  if (auto fits = check_host_side(region, src.size(), src_offset); !fits) return fits;
  cudaError_t status = cuda().cudaMemcpyAsync(device_ptr(region), src.data() + src_offset, region.size,
                                              cudaMemcpyHostToDevice, to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kMemcpyH2D));
  return {};
}

BackendResult<void> RealCuda::memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                               const StreamHandle& stream) const {
  if (auto fits = check_host_side(region, dst.size(), dst_offset); !fits) return fits;
  cudaError_t status = cuda().cudaMemcpyAsync(dst.data() + dst_offset, device_ptr(region), region.size,
                                              cudaMemcpyDeviceToHost, to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kMemcpyD2H));
  return {};
}

BackendResult<HostRegistration> RealCuda::host_register(std::uint8_t* ptr, std::size_t size) const {
  if (size == 0) return HostRegistration(ptr, 0, false);
  // Memory the process cannot write (a read-only mapping of a snapshot)
  // is refused by the runtime unless registered read-only; everything
  // else keeps the default flags.
  const unsigned flags =
      range_access(ptr, size) == RangeAccess::ReadOnly ? cudaHostRegisterReadOnly : cudaHostRegisterDefault;
  cudaError_t status = cuda().cudaHostRegister(ptr, size, flags);
  if (status != cudaSuccess) {
    // The runtime records the refusal for this thread; clear it so that the
    // staging fall-back that follows does not inherit a stale error.
    (void)cuda().cudaGetLastError();
    return std::unexpected(cuda_error(status, op_label::kHostRegister));
  }
  return HostRegistration(ptr, size, true);
}

BackendResult<void> RealCuda::memcpy_h2d_async_raw(const DeviceRegion& region, const std::uint8_t* src_ptr,
                                                   std::size_t size, const StreamHandle& stream) const {
  if (size > region.size) return std::unexpected(BackendError{BackendError::SizeMismatch{region.size, size}});
  cudaError_t status =
      cuda().cudaMemcpyAsync(device_ptr(region), src_ptr, size, cudaMemcpyHostToDevice, to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kMemcpyH2DRaw));
  return {};
}

namespace {

// Asks the driver, which needs no context: one call for all attributes.
// The mapping attributes (CUDA 11.7's driver and later) are dropped on a
// driver that refuses them. Every answer gets eight zeroed bytes, whatever
// width the driver writes for it (booleans and enumerations take fewer).
BackendResult<PointerLocation> driver_pointer_location(const CudaDriver& driver, DevicePtr ptr) {
  CUpointer_attribute asked[] = {CU_POINTER_ATTRIBUTE_MEMORY_TYPE,      CU_POINTER_ATTRIBUTE_IS_MANAGED,
                                 CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL,   CU_POINTER_ATTRIBUTE_RANGE_START_ADDR,
                                 CU_POINTER_ATTRIBUTE_RANGE_SIZE,       CU_POINTER_ATTRIBUTE_MAPPING_BASE_ADDR,
                                 CU_POINTER_ATTRIBUTE_MAPPING_SIZE};
  constexpr unsigned kAll = sizeof asked / sizeof asked[0];
  constexpr unsigned kWithoutMapping = kAll - 2;
  std::uint64_t answer[kAll] = {};
  void* slots[kAll];
  for (unsigned i = 0; i < kAll; ++i) slots[i] = &answer[i];
  CUresult status = driver.cuPointerGetAttributes(kAll, asked, slots, static_cast<CUdeviceptr>(ptr.value));
  if (status == CUDA_ERROR_INVALID_VALUE) {
    for (auto& a : answer) a = 0;
    status = driver.cuPointerGetAttributes(kWithoutMapping, asked, slots, static_cast<CUdeviceptr>(ptr.value));
  }
  if (status != CUDA_SUCCESS) return std::unexpected(cuda_error(status, op_label::kDriverPointerAttributes));
  const auto low32 = [](std::uint64_t v) { return static_cast<std::uint32_t>(v); };
  PointerLocation out;
  const std::uint32_t type = low32(answer[0]);
  if (low32(answer[1]) != 0) {
    out.kind = PointerLocation::Kind::Managed;
  } else if (type == CU_MEMORYTYPE_DEVICE) {
    out.kind = PointerLocation::Kind::Device;
  } else if (type == CU_MEMORYTYPE_HOST) {
    out.kind = PointerLocation::Kind::Host;
  }
  out.device = static_cast<int>(low32(answer[2]));
  out.range_start = answer[3];
  out.range_size = answer[4];
  out.mapping_start = answer[5];
  out.mapping_size = answer[6];
  // A mapping the driver did not describe, or one that does not lie in
  // the range around the address, is taken to be the whole range.
  const bool mapping_inside = out.mapping_size != 0 && out.mapping_start >= out.range_start &&
                              out.mapping_start - out.range_start <= out.range_size &&
                              out.mapping_size <= out.range_size - (out.mapping_start - out.range_start) &&
                              ptr.value >= out.mapping_start && ptr.value - out.mapping_start < out.mapping_size;
  if (!mapping_inside) {
    out.mapping_start = out.range_start;
    out.mapping_size = out.range_size;
  }
  out.ranges_known = out.range_size != 0 && ptr.value >= out.range_start && ptr.value - out.range_start < out.range_size;
  return out;
}

}  // namespace

BackendResult<PointerLocation> RealCuda::pointer_location(DevicePtr ptr) const {
  if (const CudaDriver* driver = cuda_driver()) return driver_pointer_location(*driver, ptr);
  cudaPointerAttributes attributes{};
  cudaError_t status =
      cuda().cudaPointerGetAttributes(&attributes, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(ptr.value)));
  // Runtimes before CUDA 11 refuse host memory they do not know instead of
  // calling it unregistered.
  if (status == cudaErrorInvalidValue) {
    (void)cuda().cudaGetLastError();
    return PointerLocation{};
  }
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kPointerGetAttributes));
  return PointerLocation{location_kind(attributes.type), attributes.device};
}

BackendResult<int> RealCuda::current_device() const {
  int device = 0;
  cudaError_t status = cuda().cudaGetDevice(&device);
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kGetDevice));
  return device;
}

BackendResult<void> RealCuda::set_device(int device) const {
  cudaError_t status = cuda().cudaSetDevice(device);
  if (status != cudaSuccess) return std::unexpected(failed(status, op_label::kSetDevice));
  return {};
}

BackendResult<ThreadContext> RealCuda::current_context() const {
  const CudaDriver* driver = cuda_driver();
  if (driver == nullptr) return ThreadContext{};
  CUcontext ctx = nullptr;
  CUresult status = driver->cuCtxGetCurrent(&ctx);
  if (status != CUDA_SUCCESS) return std::unexpected(cuda_error(status, op_label::kCtxGetCurrent));
  return ThreadContext{true, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(ctx))};
}

BackendResult<void> RealCuda::set_context(std::uint64_t handle) const {
  const CudaDriver* driver = cuda_driver();
  if (driver == nullptr) return {};
  CUresult status = driver->cuCtxSetCurrent(reinterpret_cast<CUcontext>(static_cast<std::uintptr_t>(handle)));
  if (status != CUDA_SUCCESS) return std::unexpected(cuda_error(status, op_label::kCtxSetCurrent));
  return {};
}

}  // namespace vesk
