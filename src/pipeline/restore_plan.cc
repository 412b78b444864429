#include "pipeline/restore_plan.h"

#include <utility>

namespace vesk {

void CopyPlanBuilder::add(const RegionEntry& entry) {
  if (refused_) return;
  const std::optional<DeviceRegion> region = resolve_(entry.kind, entry.logical_id);
  if (!region) {
    refused_ = RestoreError{RestoreError::UnmappedRegion{entry.kind, entry.logical_id}};
  } else if (region->size != entry.size) {
    refused_ = RestoreError{RestoreError::DeviceSizeMismatch{entry.kind, entry.logical_id, entry.size, region->size}};
  } else {
    plan_.entries.push_back(
        CopyEntry{entry.kind, entry.logical_id, entry.file_offset, entry.size, *region, entry.crc32c});
    plan_.total_bytes += entry.size;
    return;
  }
  plan_ = CopyPlan{};
}

std::expected<CopyPlan, RestoreError> CopyPlanBuilder::finish() && {
  if (refused_) return std::unexpected(*std::move(refused_));
  return std::move(plan_);
}

std::expected<CopyPlan, RestoreError> plan_copies(const RegionTable& table, const RegionResolver& resolve) {
  CopyPlanBuilder builder(resolve);
  builder.reserve(table.size());
  for (const RegionEntry& entry : table) {
    builder.add(entry);
    if (builder.refused()) break;
  }
  return std::move(builder).finish();
}

}  // namespace vesk
