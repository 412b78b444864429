#include "pipeline/device_allocations.h"

#include <algorithm>

namespace vesk {

std::optional<std::uint64_t> DeviceAllocations::end_of(std::uint64_t address, std::size_t& hint) const {
  const auto holds = [&](std::size_t i) {
    return i < mappings_.size() && mappings_[i].start <= address && address < mappings_[i].end;
  };
  if (holds(hint)) return mappings_[hint].end;
  if (holds(hint + 1)) return mappings_[++hint].end;
  auto it = std::upper_bound(mappings_.begin(), mappings_.end(), address,
                             [](std::uint64_t a, const Mapping& m) { return a < m.start; });
  if (it == mappings_.begin()) return std::nullopt;
  const auto i = static_cast<std::size_t>(it - mappings_.begin()) - 1;
  if (!holds(i)) return std::nullopt;
  hint = i;
  return mappings_[i].end;
}

}  // namespace vesk
