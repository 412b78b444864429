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
  // Where the driver tells (ranges_known): the allocation that holds the
  // address, as an address range (a reserved range for memory mapped
  // through the virtual memory calls), and inside it the one mapped
  // allocation that holds the address (the whole range otherwise). A copy
  // never crosses the end of a mapping; a region never runs past its range.
  bool ranges_known = false;
  std::uint64_t range_start = 0;
  std::uint64_t range_size = 0;
  std::uint64_t mapping_start = 0;
  std::uint64_t mapping_size = 0;
};

// The context current on a thread, as the driver reports it: none (0) or
// an opaque handle; `known` is false where the driver cannot be reached.
struct ThreadContext {
  bool known = false;
  std::uint64_t handle = 0;
};

// A runtime stream handle. A plain value: a stream lives from stream_create
// until stream_destroy consumes the handle.
struct StreamHandle {
  std::uint64_t value = 0;
};

}  // namespace vesk
