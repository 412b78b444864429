// The device copies of a transfer, built once per call from its plan:
// consecutive regions that are contiguous both in the file and in device
// memory move as one copy (engines lay out their blocks as slices of one
// large tensor, and every copy costs the host microseconds on a real
// device). Checksums stay per region; only the copies are merged.
//
// The runtime refuses a copy that leaves its allocation, and neighbouring
// allocations can touch: runs are merged only inside one allocation the
// device check learned and cut at its end. Without that knowledge (null
// allocations) every region is a copy of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "backend/backend.h"
#include "backend/types.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/device_allocations.h"
#include "pipeline/types.h"

namespace vesk {

// File bytes [file_offset, file_offset + size) and the device bytes from
// `device` on.
struct CopyRun {
  std::uint64_t file_offset;
  std::uint64_t size;
  DevicePtr device;

  FileExtent extent() const { return FileExtent{file_offset, size}; }
};

// The restore paths that copy straight from the caller's memory cut runs
// into pieces of at most this many bytes, so that the two streams share
// the work of a long run as they share chunks.
inline constexpr std::uint64_t kMaxDirectCopyBytes = std::uint64_t{64} << 20;

// Indices of the plan's entries in increasing file offset, ties in table
// order. The writers produce tables in file order; others are sorted.
std::vector<std::size_t> restore_file_order(std::span<const CopyEntry> plan);

// The copies of a restore, in file order: empty regions send nothing, and
// of entries sharing one (kind, logical id) only the last in the table is
// copied, so the later entry wins on every path whatever the file order.
std::vector<CopyRun> restore_copy_runs(std::span<const CopyEntry> plan, std::span<const std::size_t> file_order,
                                       const DeviceAllocations* allocations);

// The copies of a freeze; its plan is in file order and its keys distinct.
std::vector<CopyRun> freeze_copy_runs(std::span<const FreezePlan> plan, const DeviceAllocations* allocations);

// Queues the copies of the run pieces that fall into file bytes
// [chunk_start, chunk_end), a chunk held from buffer offset 0; chunks come
// in increasing order, each walk continuing from `cursor`. The first
// refused copy ends the walk; copies queued before stay queued.
BackendResult<void> upload_chunk(const PipelinedBackend& backend, const PinnedBuffer& buf, const StreamHandle& stream,
                                 std::uint64_t chunk_start, std::uint64_t chunk_end, std::span<const CopyRun> runs,
                                 ChunkCursor& cursor);
BackendResult<void> dump_chunk(const PipelinedBackend& backend, PinnedBuffer& buf, const StreamHandle& stream,
                               std::uint64_t chunk_start, std::uint64_t chunk_end, std::span<const CopyRun> runs,
                               ChunkCursor& cursor);

// The first (kind, logical id) given twice, if any.
struct RegionKeyRef {
  RegionKind kind;
  std::uint32_t logical_id;
};
std::optional<RegionKeyRef> first_duplicate_key(std::span<const FreezeRequest> requests);

}  // namespace vesk
