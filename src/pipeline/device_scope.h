// Where the caller's regions live, checked before a call takes anything,
// and the device the call then runs on.
//
// Streams belong to the device current when they are created. A call for
// regions on device 1 from a thread whose current device is 0 would create
// device 0's context and queue device-1 copies on device-0 streams; a host
// pointer passed as a region would fail late with an opaque status. So
// every non-empty region is asked about first, and the call runs with the
// regions' device current, the caller's own restored afterwards.
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
  struct Backend {
    BackendError inner;
  };
  std::variant<NotDevice, SeveralDevices, Backend> v;

  // "region kv_live_block/7 (position 3) is not device memory: host memory
  // (page-locked)"; "regions are on more than one device: weights/1
  // (position 0) on device 0, weights/2 (position 1) on device 1".
  std::string message() const;
};

// The device that every non-empty region is on; nullopt when no region has
// bytes (nothing to place).
std::expected<std::optional<int>, DeviceCheckError> regions_device(const DeviceBackend& backend,
                                                                   std::span<const PlacedRegion> regions);

// Makes a device current for the calling thread for one scope and makes
// the caller's previous device current again when it ends, on every path.
class CurrentDevice {
 public:
  // Nothing is changed (and no runtime call made) when the device is
  // already current or absent.
  static BackendResult<CurrentDevice> enter(const DeviceBackend& backend, std::optional<int> device);

  CurrentDevice(CurrentDevice&& other) noexcept;
  CurrentDevice& operator=(CurrentDevice&&) = delete;
  CurrentDevice(const CurrentDevice&) = delete;
  ~CurrentDevice();

 private:
  CurrentDevice(const DeviceBackend* backend, int previous) : backend_(backend), previous_(previous) {}
  const DeviceBackend* backend_;  // null: nothing to restore
  int previous_;
};

}  // namespace vesk
