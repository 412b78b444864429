// The backend on the CUDA runtime: one runtime call per operation plus the
// checks of the interface and the translation of statuses. Every failed
// runtime call is followed by one cudaGetLastError, so that no error
// recorded for the thread is left for the caller's own later calls to trip
// over. The device operations use the driver (cuda/driver.h) where it can
// be reached; a driver call records nothing and its status is reported
// like a runtime status.
#pragma once

#include "backend/backend.h"

namespace vesk {

namespace op_label {
inline constexpr const char* kMallocHost = "cudaMallocHost";
inline constexpr const char* kStreamCreate = "cudaStreamCreate";
inline constexpr const char* kStreamDestroy = "cudaStreamDestroy";
inline constexpr const char* kStreamSynchronize = "cudaStreamSynchronize";
inline constexpr const char* kMemcpyH2D = "cudaMemcpyAsync(h2d)";
inline constexpr const char* kMemcpyD2H = "cudaMemcpyAsync(d2h)";
inline constexpr const char* kMemcpyH2DRaw = "cudaMemcpyAsync(h2d raw)";
inline constexpr const char* kHostRegister = "cudaHostRegister";
inline constexpr const char* kPointerGetAttributes = "cudaPointerGetAttributes";
inline constexpr const char* kGetDevice = "cudaGetDevice";
inline constexpr const char* kSetDevice = "cudaSetDevice";
inline constexpr const char* kDriverPointerAttributes = "cuPointerGetAttributes";
inline constexpr const char* kCtxGetCurrent = "cuCtxGetCurrent";
inline constexpr const char* kCtxSetCurrent = "cuCtxSetCurrent";
}  // namespace op_label

class RealCuda final : public Backend, public DeviceBackend {
 public:
  BackendResult<PinnedBuffer> alloc_pinned(std::size_t bytes) const override;
  BackendResult<PinnedBuffer> alloc_pinned_wc(std::size_t bytes) const override;
  BackendResult<StreamHandle> stream_create() const override;
  BackendResult<void> stream_destroy(StreamHandle stream) const override;
  BackendResult<void> stream_sync(const StreamHandle& stream) const override;
  BackendResult<void> memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src, std::size_t src_offset,
                                       const StreamHandle& stream) const override;
  BackendResult<void> memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                       const StreamHandle& stream) const override;
  BackendResult<HostRegistration> host_register(std::uint8_t* ptr, std::size_t size) const override;
  BackendResult<void> memcpy_h2d_async_raw(const DeviceRegion& region, const std::uint8_t* src_ptr, std::size_t size,
                                           const StreamHandle& stream) const override;
  BackendResult<PointerLocation> pointer_location(DevicePtr ptr) const override;
  BackendResult<int> current_device() const override;
  BackendResult<void> set_device(int device) const override;
  BackendResult<ThreadContext> current_context() const override;
  BackendResult<void> set_context(std::uint64_t handle) const override;
};

// Staging buffers are used for direct I/O, which needs this alignment
// whatever the runtime's allocator guarantees.
inline constexpr std::size_t kPinnedAlignment = 4096;

}  // namespace vesk
