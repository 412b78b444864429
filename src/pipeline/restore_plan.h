// The plan of every restore path: each table entry, in table order, onto
// the caller's device region of exactly its size.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "format/region.h"
#include "pipeline/types.h"

namespace vesk {

struct CopyPlan {
  std::vector<CopyEntry> entries;
  std::uint64_t total_bytes = 0;
};

// Builds a plan entry by entry, in table order. The first entry the
// caller mapped no region to, or one of another size, is kept as the
// refusal (UnmappedRegion or DeviceSizeMismatch) and the plan is dropped;
// later entries are ignored.
class CopyPlanBuilder {
 public:
  explicit CopyPlanBuilder(const RegionResolver& resolve) : resolve_(resolve) {}

  void reserve(std::size_t n) { plan_.entries.reserve(n); }
  void add(const RegionEntry& entry);
  bool refused() const { return refused_.has_value(); }
  std::expected<CopyPlan, RestoreError> finish() &&;

 private:
  const RegionResolver& resolve_;
  CopyPlan plan_;
  std::optional<RestoreError> refused_;
};

// The first entry without a region, or whose region differs in size, ends
// the plan with UnmappedRegion or DeviceSizeMismatch.
std::expected<CopyPlan, RestoreError> plan_copies(const RegionTable& table, const RegionResolver& resolve);

}  // namespace vesk
