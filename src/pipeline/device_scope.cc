#include "pipeline/device_scope.h"

#include <cstdio>
#include <map>
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

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
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
        } else if constexpr (std::is_same_v<T, PastAllocation>) {
          const std::uint64_t start = e.placed.ptr.value;
          const std::uint64_t end = start + e.placed.size;
          return "region " + e.region + " runs past the end of its device allocation (" +
                 std::to_string(e.placed.size) + " bytes at " + hex(start) + " end " +
                 (end < start ? std::string("past the top of the address space") : "at " + hex(end)) +
                 ", the allocation of " + std::to_string(e.allocation_size) +
                 " bytes at " + hex(e.allocation_start) + " at " + hex(e.allocation_start + e.allocation_size) + ")";
        } else {
          return e.inner.message();
        }
      },
      v);
}

namespace {

// What the device check learned of one mapped allocation.
struct KnownMapping {
  std::uint64_t end;          // of the mapping
  std::uint64_t range_start;  // of the allocation (or reserved range) around it
  std::uint64_t range_end;
  int device;
};

// The mappings learned so far, keyed by start, with the last one used kept
// at hand: a million regions in a few dozen allocations cost a few dozen
// driver queries and a million comparisons.
class MappingCache {
 public:
  using Map = std::map<std::uint64_t, KnownMapping>;

  const Map::value_type* find(std::uint64_t address) {
    if (last_ != map_.end() && last_->first <= address && address < last_->second.end) return &*last_;
    auto it = map_.upper_bound(address);
    if (it == map_.begin()) return nullptr;
    --it;
    if (address >= it->second.end) return nullptr;
    last_ = it;
    return &*it;
  }

  const Map::value_type* add(std::uint64_t start, KnownMapping m) {
    last_ = map_.insert_or_assign(start, m).first;
    return &*last_;
  }

  DeviceAllocations flatten() const {
    std::vector<DeviceAllocations::Mapping> out;
    out.reserve(map_.size());
    for (const auto& [start, m] : map_) out.push_back({start, m.end});
    return DeviceAllocations(std::move(out));
  }

 private:
  Map map_;
  Map::iterator last_ = map_.end();
};

}  // namespace

std::expected<RegionsPlacement, DeviceCheckError> regions_device(const DeviceBackend& backend,
                                                                 std::span<const PlacedRegion> regions) {
  RegionsPlacement out;
  bool ranges_known = true;
  MappingCache cache;
  std::size_t first = 0;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const PlacedRegion& r = regions[i];
    if (r.region.size == 0) continue;
    const std::uint64_t begin = r.region.ptr.value;
    const std::uint64_t end = begin + r.region.size;
    const auto past = [&](std::uint64_t start, std::uint64_t size) {
      return std::unexpected(DeviceCheckError{DeviceCheckError::PastAllocation{describe(r, i), r.region, start, size}});
    };
    // Walks the mappings the region covers: one for all but regions that
    // span allocations mapped side by side in one reserved range.
    std::uint64_t at = begin;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> range;  // of the region's first mapping
    while (true) {
      const auto* known = cache.find(at);
      if (known == nullptr) {
        auto where = backend.pointer_location(DevicePtr{at});
        if (!where) return std::unexpected(backend_err<DeviceCheckError>(where.error()));
        const bool device_memory =
            where->kind == PointerLocation::Kind::Device || where->kind == PointerLocation::Kind::Managed;
        if (!device_memory && !range) {
          return std::unexpected(DeviceCheckError{DeviceCheckError::NotDevice{describe(r, i), where->kind}});
        }
        if (!device_memory) return past(range->first, range->second - range->first);
        if (!where->ranges_known) {
          // Nothing to bound the region or its copies with: the device is
          // all that is checked, and no copies are merged.
          ranges_known = false;
          if (!range) {
            if (!out.device) {
              out.device = where->device;
              first = i;
            } else if (where->device != *out.device) {
              return std::unexpected(DeviceCheckError{DeviceCheckError::SeveralDevices{
                  describe(regions[first], first), *out.device, describe(r, i), where->device}});
            }
          }
          break;
        }
        known = cache.add(where->mapping_start,
                          KnownMapping{where->mapping_start + where->mapping_size, where->range_start,
                                       where->range_start + where->range_size, where->device});
      }
      const KnownMapping& m = known->second;
      if (!range) {
        range = {m.range_start, m.range_end};
        if (!out.device) {
          out.device = m.device;
          first = i;
        } else if (m.device != *out.device) {
          return std::unexpected(DeviceCheckError{
              DeviceCheckError::SeveralDevices{describe(regions[first], first), *out.device, describe(r, i), m.device}});
        }
      } else if (m.range_start != range->first) {
        return past(range->first, range->second - range->first);
      }
      if (end < begin || end > range->second) return past(range->first, range->second - range->first);
      if (end <= m.end) break;
      at = m.end;
    }
  }
  if (ranges_known) out.allocations = cache.flatten();
  return out;
}

BackendResult<CurrentDevice> CurrentDevice::enter(const DeviceBackend& backend, std::optional<int> device) {
  if (!device) return CurrentDevice(nullptr, {});
  auto previous = backend.current_device();
  if (!previous) return std::unexpected(previous.error());
  if (*previous == *device) return CurrentDevice(nullptr, {});
  auto context = backend.current_context();
  if (!context) return std::unexpected(context.error());
  if (auto set = backend.set_device(*device); !set) return std::unexpected(set.error());
  return CurrentDevice(&backend, Previous{context->known, context->handle, *previous});
}

CurrentDevice::CurrentDevice(CurrentDevice&& other) noexcept
    : backend_(std::exchange(other.backend_, nullptr)), previous_(other.previous_) {}

CurrentDevice::~CurrentDevice() {
  // Nothing to report to: a refusal leaves the regions' device current,
  // which the runtime's own error slot no longer mentions (the backend
  // cleared it).
  if (backend_ == nullptr) return;
  if (previous_.context_known) {
    (void)backend_->set_context(previous_.context);
  } else {
    (void)backend_->set_device(previous_.device);
  }
}

}  // namespace vesk
