// The plan of every restore path: each table entry, in table order, onto
// the caller's device region of exactly its size.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "format/region.h"
#include "pipeline/types.h"

namespace vesk {

struct CopyPlan {
  std::vector<CopyEntry> entries;
  std::uint64_t total_bytes = 0;
};

// One table entry onto its region: UnmappedRegion or DeviceSizeMismatch
// where the caller mapped none or one of another size.
std::expected<CopyEntry, RestoreError> plan_copy(const RegionEntry& entry, const RegionResolver& resolve);

// The first entry without a region, or whose region differs in size, ends
// the plan with UnmappedRegion or DeviceSizeMismatch.
std::expected<CopyPlan, RestoreError> plan_copies(const RegionTable& table, const RegionResolver& resolve);

}  // namespace vesk
