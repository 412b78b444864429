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

// A runtime stream handle. A plain value: a stream lives from stream_create
// until stream_destroy consumes the handle.
struct StreamHandle {
  std::uint64_t value = 0;
};

}  // namespace vesk
