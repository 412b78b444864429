#include "pipeline/device_scope.h"

#include <type_traits>
#include <utility>

#include "pipeline/error_wrap.h"

namespace vesk {

namespace {

std::string describe(const PlacedRegion& r, std::size_t position) {
  std::string out(r.kind);
  out.append("/").append(std::to_string(r.logical_id));
  out.append(" (position ").append(std::to_string(position)).append(")");
  return out;
}

const char* what_it_is(PointerLocation::Kind kind) {
  switch (kind) {
    case PointerLocation::Kind::Host:
      return "host memory (page-locked)";
    case PointerLocation::Kind::Unregistered:
      return "host memory (not known to the CUDA runtime)";
    default:
      return "device memory";
  }
}

}  // namespace

std::string DeviceCheckError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, NotDevice>) {
          return "region " + e.region + " is not device memory: " + what_it_is(e.found);
        } else if constexpr (std::is_same_v<T, SeveralDevices>) {
          std::string out = "regions are on more than one device: ";
          out.append(e.first).append(" on device ").append(std::to_string(e.first_device));
          out.append(", ").append(e.other).append(" on device ").append(std::to_string(e.other_device));
          return out;
        } else {
          return e.inner.message();
        }
      },
      v);
}

std::expected<std::optional<int>, DeviceCheckError> regions_device(const DeviceBackend& backend,
                                                                   std::span<const PlacedRegion> regions) {
  std::optional<int> device;
  std::size_t first = 0;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const PlacedRegion& r = regions[i];
    if (r.region.size == 0) continue;
    auto where = backend.pointer_location(r.region.ptr);
    if (!where) return std::unexpected(backend_err<DeviceCheckError>(where.error()));
    if (where->kind != PointerLocation::Kind::Device && where->kind != PointerLocation::Kind::Managed) {
      return std::unexpected(DeviceCheckError{DeviceCheckError::NotDevice{describe(r, i), where->kind}});
    }
    if (!device) {
      device = where->device;
      first = i;
    } else if (where->device != *device) {
      return std::unexpected(DeviceCheckError{
          DeviceCheckError::SeveralDevices{describe(regions[first], first), *device, describe(r, i), where->device}});
    }
  }
  return device;
}

BackendResult<CurrentDevice> CurrentDevice::enter(const DeviceBackend& backend, std::optional<int> device) {
  if (!device) return CurrentDevice(nullptr, 0);
  auto previous = backend.current_device();
  if (!previous) return std::unexpected(previous.error());
  if (*previous == *device) return CurrentDevice(nullptr, 0);
  if (auto set = backend.set_device(*device); !set) return std::unexpected(set.error());
  return CurrentDevice(&backend, *previous);
}

CurrentDevice::CurrentDevice(CurrentDevice&& other) noexcept
    : backend_(std::exchange(other.backend_, nullptr)), previous_(other.previous_) {}

CurrentDevice::~CurrentDevice() {
  // Nothing to report to: a refusal leaves the regions' device current,
  // which the runtime's own error slot no longer mentions (the backend
  // cleared it).
  if (backend_ != nullptr) (void)backend_->set_device(previous_);
}

}  // namespace vesk
