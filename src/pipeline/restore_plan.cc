#include "pipeline/restore_plan.h"

namespace vesk {

std::expected<CopyEntry, RestoreError> plan_copy(const RegionEntry& entry, const RegionResolver& resolve) {
  const std::optional<DeviceRegion> region = resolve(entry.kind, entry.logical_id);
  if (!region) return std::unexpected(RestoreError{RestoreError::UnmappedRegion{entry.kind, entry.logical_id}});
  if (region->size != entry.size) {
    return std::unexpected(
        RestoreError{RestoreError::DeviceSizeMismatch{entry.kind, entry.logical_id, entry.size, region->size}});
  }
  return CopyEntry{entry.kind, entry.logical_id, entry.file_offset, entry.size, *region, entry.crc32c};
}

std::expected<CopyPlan, RestoreError> plan_copies(const RegionTable& table, const RegionResolver& resolve) {
  CopyPlan plan;
  plan.entries.reserve(table.size());
  for (const RegionEntry& entry : table) {
    auto copy = plan_copy(entry, resolve);
    if (!copy) return std::unexpected(std::move(copy.error()));
    plan.entries.push_back(*copy);
    plan.total_bytes += copy->size;
  }
  return plan;
}

}  // namespace vesk
