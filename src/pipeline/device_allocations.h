// The device allocations that hold a call's regions, as the device check
// learned them from the driver. The runtime refuses a copy whose device
// range does not lie in one allocation, and two allocations can touch (a
// caching allocator's neighbouring blocks), so copies of neighbouring
// regions are merged only inside one allocation and cut at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vesk {

class DeviceAllocations {
 public:
  // One mapped allocation, [start, end).
  struct Mapping {
    std::uint64_t start;
    std::uint64_t end;
  };

  // Mappings in increasing address order, none overlapping another.
  explicit DeviceAllocations(std::vector<Mapping> mappings) : mappings_(std::move(mappings)) {}

  // The end of the mapping that holds `address`, nullopt for an address in
  // none. `hint` is the caller's cursor: neighbouring look-ups (the common
  // case of regions walked in address or file order) cost no search.
  std::optional<std::uint64_t> end_of(std::uint64_t address, std::size_t& hint) const;

  std::size_t size() const { return mappings_.size(); }

 private:
  std::vector<Mapping> mappings_;
};

}  // namespace vesk
