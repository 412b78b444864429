#include "pipeline/copy_runs.h"

#include <algorithm>
#include <numeric>

namespace vesk {

namespace {

std::uint64_t packed_key(RegionKind kind, std::uint32_t logical_id) {
  return (std::uint64_t{static_cast<std::uint32_t>(kind)} << 32) | logical_id;
}

// Keys in strictly increasing order need no further look: the common case
// of a caller walking its blocks by id costs one pass.
template <typename Entries>
bool keys_strictly_increasing(const Entries& entries) {
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (packed_key(entries[i - 1].kind, entries[i - 1].logical_id) >=
        packed_key(entries[i].kind, entries[i].logical_id))
      return false;
  return true;
}

// (key, table index) sorted by key, then index.
template <typename Entries>
std::vector<std::pair<std::uint64_t, std::size_t>> keys_sorted(const Entries& entries) {
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) keyed[i] = {packed_key(entries[i].kind, entries[i].logical_id), i};
  std::sort(keyed.begin(), keyed.end());
  return keyed;
}

// True for each entry whose key comes again later in the table; empty
// when every key is distinct.
std::vector<bool> superseded_entries(std::span<const CopyEntry> plan) {
  if (keys_strictly_increasing(plan)) return {};
  const auto keyed = keys_sorted(plan);
  std::vector<bool> superseded;
  for (std::size_t i = 1; i < keyed.size(); ++i) {
    if (keyed[i].first != keyed[i - 1].first) continue;
    if (superseded.empty()) superseded.resize(plan.size(), false);
    superseded[keyed[i - 1].second] = true;
  }
  return superseded;
}

// The runs of one transfer, regions appended in file order.
class RunBuilder {
 public:
  explicit RunBuilder(const DeviceAllocations* allocations) : allocations_(allocations) {}

  // Appends one region's copy: it extends the last run where it continues
  // it in the file and on the device inside the same allocation, and is
  // cut where it crosses from one mapped allocation into the next.
  void add(std::uint64_t file_offset, std::uint64_t size, DevicePtr device) {
    if (size == 0) return;
    if (allocations_ == nullptr) {
      runs_.push_back(CopyRun{file_offset, size, device});
      return;
    }
    std::uint64_t at = device.value;
    while (size > 0) {
      // An address outside every allocation learned is never merged or cut.
      const std::optional<std::uint64_t> limit = allocations_->end_of(at, hint_);
      const std::uint64_t len = limit ? std::min(size, *limit - at) : size;
      if (!runs_.empty() && limit && last_limit_ == *limit) {
        CopyRun& last = runs_.back();
        if (saturating_end(last.file_offset, last.size) == file_offset &&
            saturating_end(last.device.value, last.size) == at) {
          last.size += len;
          file_offset += len;
          at += len;
          size -= len;
          continue;
        }
      }
      runs_.push_back(CopyRun{file_offset, len, DevicePtr{at}});
      last_limit_ = limit.value_or(0);
      file_offset += len;
      at += len;
      size -= len;
    }
  }

  std::vector<CopyRun> finish() && { return std::move(runs_); }

 private:
  const DeviceAllocations* allocations_;
  std::size_t hint_ = 0;
  std::uint64_t last_limit_ = 0;  // end of the allocation holding the last run; 0: none known
  std::vector<CopyRun> runs_;
};

}  // namespace

std::vector<std::size_t> restore_file_order(std::span<const CopyEntry> plan) {
  std::vector<std::size_t> order(plan.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto by_offset = [&](std::size_t a, std::size_t b) { return plan[a].file_offset < plan[b].file_offset; };
  if (!std::is_sorted(order.begin(), order.end(), by_offset)) std::stable_sort(order.begin(), order.end(), by_offset);
  return order;
}

std::vector<CopyRun> restore_copy_runs(std::span<const CopyEntry> plan, std::span<const std::size_t> file_order,
                                       const DeviceAllocations* allocations) {
  const std::vector<bool> superseded = superseded_entries(plan);
  RunBuilder runs(allocations);
  for (const std::size_t i : file_order) {
    if (!superseded.empty() && superseded[i]) continue;
    runs.add(plan[i].file_offset, plan[i].size, plan[i].device_region.ptr);
  }
  return std::move(runs).finish();
}

std::vector<CopyRun> freeze_copy_runs(std::span<const FreezePlan> plan, const DeviceAllocations* allocations) {
  RunBuilder runs(allocations);
  for (const FreezePlan& p : plan) runs.add(p.file_offset, p.size, p.device_region.ptr);
  return std::move(runs).finish();
}

namespace {

template <typename Queue>
BackendResult<void> walk_chunk(std::span<const CopyRun> runs, ChunkCursor& cursor, std::uint64_t chunk_start,
                               std::uint64_t chunk_end, Queue queue) {
  BackendResult<void> result;
  cursor.walk(runs.size(), [&](std::size_t i) { return runs[i].extent(); }, chunk_start, chunk_end,
              [&](std::size_t i, const ChunkOverlap& piece) {
                result = queue(DeviceRegion{DevicePtr{runs[i].device.value + piece.dev_offset}, piece.len},
                               piece.buf_offset);
                return result.has_value();
              });
  return result;
}

}  // namespace

BackendResult<void> upload_chunk(const PipelinedBackend& backend, const PinnedBuffer& buf, const StreamHandle& stream,
                                 std::uint64_t chunk_start, std::uint64_t chunk_end, std::span<const CopyRun> runs,
                                 ChunkCursor& cursor) {
  return walk_chunk(runs, cursor, chunk_start, chunk_end, [&](const DeviceRegion& sub, std::uint64_t buf_offset) {
    return backend.memcpy_h2d_async(sub, buf, buf_offset, stream);
  });
}

BackendResult<void> dump_chunk(const PipelinedBackend& backend, PinnedBuffer& buf, const StreamHandle& stream,
                               std::uint64_t chunk_start, std::uint64_t chunk_end, std::span<const CopyRun> runs,
                               ChunkCursor& cursor) {
  return walk_chunk(runs, cursor, chunk_start, chunk_end, [&](const DeviceRegion& sub, std::uint64_t buf_offset) {
    return backend.memcpy_d2h_async(buf, buf_offset, sub, stream);
  });
}

std::optional<RegionKeyRef> first_duplicate_key(std::span<const FreezeRequest> requests) {
  if (keys_strictly_increasing(requests)) return std::nullopt;
  const auto keyed = keys_sorted(requests);
  // The duplicate named is the one whose second occurrence comes first in
  // the request list.
  std::optional<std::size_t> first;
  for (std::size_t i = 1; i < keyed.size(); ++i)
    if (keyed[i].first == keyed[i - 1].first && (!first || keyed[i].second < *first)) first = keyed[i].second;
  if (!first) return std::nullopt;
  return RegionKeyRef{requests[*first].kind, requests[*first].logical_id};
}

}  // namespace vesk
