// What the pipelines need from the GPU side, in two operation groups, and
// a third for the module's check of where the caller's regions live.
// Every operation is const: a backend holds no per-call state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "backend/backend_error.h"
#include "backend/host_registration.h"
#include "backend/pinned_buffer.h"
#include "backend/types.h"

namespace vesk {

template <typename T>
using BackendResult = std::expected<T, BackendError>;

class CudaBackend {
 public:
  virtual ~CudaBackend() = default;
  virtual BackendResult<PinnedBuffer> alloc_pinned(std::size_t bytes) const = 0;
  virtual BackendResult<PinnedBuffer> alloc_pinned_wc(std::size_t bytes) const = 0;
};

class PipelinedBackend {
 public:
  virtual ~PipelinedBackend() = default;
  virtual BackendResult<StreamHandle> stream_create() const = 0;
  virtual BackendResult<void> stream_destroy(StreamHandle stream) const = 0;
  virtual BackendResult<void> stream_sync(const StreamHandle& stream) const = 0;
  // Copies region.size bytes from src[src_offset..]; checks the host side first.
  virtual BackendResult<void> memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src,
                                               std::size_t src_offset, const StreamHandle& stream) const = 0;
  // Copies region.size bytes into dst[dst_offset..]; checks the host side first.
  virtual BackendResult<void> memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                               const StreamHandle& stream) const = 0;
  // Registers read-only when the process cannot write the pages, as the
  // runtime requires for such memory; the pipelines only ever read it.
  virtual BackendResult<HostRegistration> host_register(std::uint8_t* ptr, std::size_t size) const = 0;
  // Copies `size` bytes from host address src_ptr; checks the device side first.
  virtual BackendResult<void> memcpy_h2d_async_raw(const DeviceRegion& region, const std::uint8_t* src_ptr,
                                                   std::size_t size, const StreamHandle& stream) const = 0;
};

// Both groups from one object, as every pipeline needs them.
class Backend : public CudaBackend, public PipelinedBackend {};

// The caller's devices: where an address lives, and the device current for
// the calling thread, on which streams are created.
class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // Through the driver where it can be reached, which needs no context and
  // knows the allocation's range; else through the runtime, without it.
  virtual BackendResult<PointerLocation> pointer_location(DevicePtr ptr) const = 0;
  virtual BackendResult<int> current_device() const = 0;
  // Makes the device's primary context current (creating it if needed).
  virtual BackendResult<void> set_device(int device) const = 0;
  // The calling thread's current context, creating none; and making a
  // context reported by it (or none, handle 0) current again.
  virtual BackendResult<ThreadContext> current_context() const = 0;
  virtual BackendResult<void> set_context(std::uint64_t handle) const = 0;
};

}  // namespace vesk
