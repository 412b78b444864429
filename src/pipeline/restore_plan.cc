#include "pipeline/restore_plan.h"

namespace vesk {

std::expected<CopyPlan, RestoreError> plan_copies(const RegionTable& table, const RegionResolver& resolve) {
  CopyPlan plan;
  plan.entries.reserve(table.size());
  for (const RegionEntry& entry : table) {
    const std::optional<DeviceRegion> region = resolve(entry.kind, entry.logical_id);
    if (!region) return std::unexpected(RestoreError{RestoreError::UnmappedRegion{entry.kind, entry.logical_id}});
    if (region->size != entry.size) {
      return std::unexpected(RestoreError{
          RestoreError::DeviceSizeMismatch{entry.kind, entry.logical_id, entry.size, region->size}});
    }
    plan.entries.push_back(
        CopyEntry{entry.kind, entry.logical_id, entry.file_offset, entry.size, *region, entry.crc32c});
    plan.total_bytes += entry.size;
  }
  return plan;
}

}  // namespace vesk
