#include "backend/real_cuda.h"

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

}  // namespace

BackendResult<PinnedBuffer> RealCuda::alloc_pinned(std::size_t bytes) const {
  void* ptr = nullptr;
  cudaError_t status = cuda().cudaMallocHost(&ptr, bytes);
  if (status == cudaErrorMemoryAllocation) {
    return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
  }
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kMallocHost));
  if (ptr == nullptr) return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
  return PinnedBuffer(ptr, bytes);
}

BackendResult<PinnedBuffer> RealCuda::alloc_pinned_wc(std::size_t bytes) const {
  void* ptr = nullptr;
  cudaError_t status = cuda().cudaHostAlloc(&ptr, bytes, cudaHostAllocWriteCombined);
  if (status == cudaSuccess && ptr != nullptr) return PinnedBuffer(ptr, bytes);
  // Write-combined memory is only an optimisation: whatever went wrong, an
  // ordinary page-locked buffer serves the same purpose.
  return alloc_pinned(bytes);
}

BackendResult<StreamHandle> RealCuda::stream_create() const {
  cudaStream_t stream = nullptr;
  cudaError_t status = cuda().cudaStreamCreate(&stream);
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kStreamCreate));
  return StreamHandle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(stream))};
}

BackendResult<void> RealCuda::stream_destroy(StreamHandle stream) const {
  cudaError_t status = cuda().cudaStreamDestroy(to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kStreamDestroy));
  return {};
}

BackendResult<void> RealCuda::stream_sync(const StreamHandle& stream) const {
  cudaError_t status = cuda().cudaStreamSynchronize(to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kStreamSynchronize));
  return {};
}

BackendResult<void> RealCuda::memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src,
                                               std::size_t src_offset, const StreamHandle& stream) const {
  if (auto fits = check_host_side(region, src.size(), src_offset); !fits) return fits;
  cudaError_t status = cuda().cudaMemcpyAsync(device_ptr(region), src.data() + src_offset, region.size,
                                              cudaMemcpyHostToDevice, to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kMemcpyH2D));
  return {};
}

BackendResult<void> RealCuda::memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                               const StreamHandle& stream) const {
  if (auto fits = check_host_side(region, dst.size(), dst_offset); !fits) return fits;
  cudaError_t status = cuda().cudaMemcpyAsync(dst.data() + dst_offset, device_ptr(region), region.size,
                                              cudaMemcpyDeviceToHost, to_stream(stream));
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kMemcpyD2H));
  return {};
}

BackendResult<HostRegistration> RealCuda::host_register(std::uint8_t* ptr, std::size_t size) const {
  if (size == 0) return HostRegistration(ptr, 0, false);
  cudaError_t status = cuda().cudaHostRegister(ptr, size, cudaHostRegisterDefault);
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
  if (status != cudaSuccess) return std::unexpected(cuda_error(status, op_label::kMemcpyH2DRaw));
  return {};
}

}  // namespace vesk
