// Where the caller's regions live, checked before a call takes anything,
// and the device the call then runs on.
//
// Streams belong to the device current when they are created. A call for
// regions on device 1 from a thread whose current device is 0 would create
// device 0's context and queue device-1 copies on device-0 streams; a host
// pointer passed as a region would fail late with an opaque status. So
// every non-empty region is asked about first, and the call runs with the
// regions' device current, the caller's own restored afterwards.
//
// The asking goes to the driver, which needs no context (so a thread that
// never chose a device does not get device 0's) and tells the allocation
// that holds each address: a region that runs past its allocation is
// refused here, and the allocations learned bound the merged copies. One
// query serves every region of an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "backend/backend.h"
#include "pipeline/device_allocations.h"

namespace vesk {

// One region as the caller listed it; position is its index in that list.
struct PlacedRegion {
  std::string_view kind;  // the caller's kind text, for messages
  std::uint32_t logical_id;
  DeviceRegion region;
};

struct DeviceCheckError {
  struct NotDevice {
    std::string region;  // "{kind}/{id} (position {n})"
    PointerLocation::Kind found;
  };
  struct SeveralDevices {
    std::string first;
    int first_device;
    std::string other;
    int other_device;
  };
  struct PastAllocation {
    std::string region;
    DeviceRegion placed;
    std::uint64_t allocation_start;
    std::uint64_t allocation_size;
  };
  struct Backend {
    BackendError inner;
  };
  std::variant<NotDevice, SeveralDevices, PastAllocation, Backend> v;

  // "region kv_live_block/7 (position 3) is not device memory: host memory
  // (page-locked)"; "regions are on more than one device: weights/1
  // (position 0) on device 0, weights/2 (position 1) on device 1";
  // "region weights/1 (position 0) runs past the end of its device
  // allocation (4096 bytes at 0x7f0000001000 end at 0x7f0000002000, the
  // allocation of 2048 bytes at 0x7f0000001000 at 0x7f0000001800)".
  std::string message() const;
};

struct RegionsPlacement {
  // The device every non-empty region is on; nullopt when no region has
  // bytes (nothing to place).
  std::optional<int> device;
  // The allocations holding the regions; nullopt where the driver could
  // not tell, and then no two regions' copies may be merged.
  std::optional<DeviceAllocations> allocations;
};

std::expected<RegionsPlacement, DeviceCheckError> regions_device(const DeviceBackend& backend,
                                                                 std::span<const PlacedRegion> regions);

// Makes a device current for the calling thread for one scope and gives
// the caller back what it had when the scope ends, on every path: its own
// context, or no context at all for a thread that had none (selecting the
// device it had would create that device's context, the very cost this
// avoids). Without the driver, the previous device is selected again.
class CurrentDevice {
 public:
  // Nothing is changed when the device is absent or already current (the
  // caller's context is on it, or the thread has none and would get that
  // device's anyway).
  static BackendResult<CurrentDevice> enter(const DeviceBackend& backend, std::optional<int> device);

  CurrentDevice(CurrentDevice&& other) noexcept;
  CurrentDevice& operator=(CurrentDevice&&) = delete;
  CurrentDevice(const CurrentDevice&) = delete;
  ~CurrentDevice();

 private:
  struct Previous {
    bool context_known;    // restore through the driver, with `context`
    std::uint64_t context;  // the caller's context; 0: none
    int device;             // without the driver: the device to select
  };
  CurrentDevice(const DeviceBackend* backend, Previous previous) : backend_(backend), previous_(previous) {}
  const DeviceBackend* backend_;  // null: nothing to restore
  Previous previous_;
};

}  // namespace vesk
