// Restores from a snapshot already in host memory: zero-copy after
// registration, from a pre-registered range, or through staging buffers.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "backend/backend.h"
#include "pipeline/config.h"
#include "pipeline/restore_plan.h"
#include "pipeline/types.h"

namespace vesk {

std::expected<CopyPlan, RestoreError> plan_copies_from_bytes(std::span<const std::uint8_t> data,
                                                             const RegionResolver& resolve);
std::expected<void, RestoreError> run_pre_registered_plan(const PipelinedBackend& backend,
                                                          std::span<const std::uint8_t> data,
                                                          std::span<const CopyEntry> plan,
                                                          const DeviceAllocations* allocations);

std::expected<RestoreStats, RestoreError> restore_pipelined_from_bytes(const Backend& backend,
                                                                       std::span<const std::uint8_t> data,
                                                                       const RegionResolver& resolve,
                                                                       const PipelineConfig& config);
std::expected<RestoreStats, RestoreError> restore_pipelined_from_registered_bytes(const Backend& backend,
                                                                                  std::span<const std::uint8_t> data,
                                                                                  const RegionResolver& resolve,
                                                                                  const PipelineConfig& config);
std::expected<RestoreStats, RestoreError> restore_pipelined_from_pre_registered_bytes(
    const Backend& backend, std::span<const std::uint8_t> data, const RegionResolver& resolve,
    const PipelineConfig& config);
std::expected<RestoreStats, RestoreError> restore_pipelined_from_bytes_auto(const Backend& backend,
                                                                            std::span<const std::uint8_t> data,
                                                                            const RegionResolver& resolve,
                                                                            const PipelineConfig& config);

}  // namespace vesk
