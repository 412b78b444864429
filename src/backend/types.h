// Value types that cross the backend interface.
#pragma once

#include <cstdint>

namespace vesk {

struct DevicePtr {
  std::uint64_t value = 0;
  bool operator==(const DevicePtr&) const = default;
};

// Caller-owned device memory; no backend operation allocates or frees it.
struct DeviceRegion {
  DevicePtr ptr;
  std::uint64_t size = 0;
  bool operator==(const DeviceRegion&) const = default;
};

// What the runtime knows of an address: device (or managed) memory of one
// device, page-locked host memory, or host memory it does not know.
struct PointerLocation {
  enum class Kind { Unregistered, Host, Device, Managed };
  Kind kind = Kind::Unregistered;
  int device = 0;  // meaningful for Device and Managed
};

// A runtime stream handle. A plain value: a stream lives from stream_create
// until stream_destroy consumes the handle.
struct StreamHandle {
  std::uint64_t value = 0;
};

}  // namespace vesk
