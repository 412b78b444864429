#include "pipeline/restore_memory.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "format/snapshot.h"
#include "io/io_error.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/chunk_loop.h"
#include "pipeline/error_wrap.h"
#include "pipeline/copy_runs.h"
#include "pipeline/restore_file.h"
#include "pipeline/restore_plan.h"
#include "pipeline/staging_buffers.h"
#include "pipeline/stream_pair.h"

namespace vesk {
namespace {

RestoreError short_data(std::string message) {
  return snapshot_err<RestoreError>(
      SnapshotError{SnapshotError::Io{IoErrorKind::UnexpectedEof, std::move(message)}});
}

// Standard error unbuffered and below any language runtime, so that the
// line reaches the process's stderr even when Python has redirected its own.
void write_stderr_line(const std::string& line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report a failed warning
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string too_short_message(std::uint64_t offset, std::uint64_t end, std::size_t len) {
  return "data too short: need byte " + std::to_string(offset) + ".." + std::to_string(end) + " but len is " +
         std::to_string(len);
}

// The first chunk whose bytes the buffer does not hold, reported as its
// staging would report it. Found before the first copy is queued, so a
// truncated buffer never leaves the device half written.
std::expected<void, RestoreError> check_staged_range(std::span<const std::uint8_t> data, const ChunkRange& r) {
  const std::uint64_t len = data.size();
  if (r.num_chunks() == 0 || r.start + r.len <= len) return {};
  // Chunk ends increase, so the first short chunk is the one holding byte
  // `len` (or the first chunk of all when the range starts past the end).
  const std::uint64_t i = len <= r.start ? 0 : (len - r.start) / r.chunk_size;
  const std::uint64_t start = r.chunk_start(i);
  return std::unexpected(short_data(too_short_message(start, start + r.chunk_len(i), data.size())));
}

// One staging restore's steps for run_chunk_loop: chunks are copied from
// the caller's bytes into the staging buffers and from there to the
// device. The whole buffer was checked before the first chunk.
class StagingRun {
 public:
  using Error = RestoreError;
  static constexpr ChunkFill kFill = ChunkFill::Host;
  static constexpr bool kChecksums = false;

  StagingRun(const PipelinedBackend& backend, Staging& staging, ChunkRange range, std::span<const std::uint8_t> data,
             std::span<const CopyEntry> plan, const DeviceAllocations* allocations)
      : backend_(backend),
        staging_(staging),
        range_(range),
        data_(data),
        // Regions in file order, once; each chunk continues where the last
        // one stopped.
        runs_(restore_copy_runs(plan, restore_file_order(plan), allocations)) {}

  // Buffer bytes [offset, offset + length) into the front of the chunk's
  // staging buffer.
  std::expected<void, RestoreError> host(std::uint64_t k) {
    const std::uint64_t offset = range_.chunk_start(k);
    const std::uint64_t end = saturating_end(offset, range_.chunk_len(k));
    if (end > data_.size()) return std::unexpected(short_data(too_short_message(offset, end, data_.size())));
    std::memcpy(staging_.buffer(k).data(), data_.data() + offset, range_.chunk_len(k));
    return {};
  }

  std::expected<void, RestoreError> queue(std::uint64_t k) {
    return upload_staged_chunk(backend_, staging_, range_, k, runs_, cursor_);
  }

 private:
  const PipelinedBackend& backend_;
  Staging& staging_;
  ChunkRange range_;
  std::span<const std::uint8_t> data_;
  std::vector<CopyRun> runs_;
  ChunkCursor cursor_;
};

// The plan, then its copies, from bytes the runtime can already reach.
std::expected<RestoreStats, RestoreError> restore_planned_from_registered(const PipelinedBackend& backend,
                                                                          std::span<const std::uint8_t> data,
                                                                          const RegionResolver& resolve,
                                                                          const DeviceAllocations* allocations) {
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;
  if (auto ok = run_pre_registered_plan(backend, data, plan->entries, allocations); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return stats;
}

}  // namespace

std::expected<CopyPlan, RestoreError> plan_copies_from_bytes(std::span<const std::uint8_t> data,
                                                             const RegionResolver& resolve) {
  if (data.size() < HEADER_SIZE) {
    return std::unexpected(short_data("data too short for header: " + std::to_string(data.size()) + " bytes"));
  }
  auto snapshot = Snapshot::from_prelude_bytes(data);
  if (!snapshot) return std::unexpected(snapshot_err<RestoreError>(std::move(snapshot.error())));

  return plan_copies(snapshot->table, resolve);
}

std::expected<void, RestoreError> run_pre_registered_plan(const PipelinedBackend& backend,
                                                          std::span<const std::uint8_t> data,
                                                          std::span<const CopyEntry> plan,
                                                          const DeviceAllocations* allocations) {
  // Bounds are checked whether or not checksums are: the copies below read
  // the caller's buffer directly.
  if (auto ok = check_payload_bounds(plan, data.size()); !ok) return ok;
  if (auto ok = verify_plan_crcs_from_bytes(std::as_bytes(data), plan); !ok) return ok;

  auto streams = StreamPair::create(backend);
  if (!streams) return std::unexpected(backend_err<RestoreError>(streams.error()));

  // Everything is queued before the first wait so that consecutive copies
  // overlap in the copy engines; runs of regions contiguous in both the
  // buffer and device memory go as one copy per piece.
  const std::vector<CopyRun> runs = restore_copy_runs(plan, restore_file_order(plan), allocations);
  std::size_t k = 0;
  for (const CopyRun& run : runs) {
    for (std::uint64_t done = 0; done < run.size; done += kMaxDirectCopyBytes, ++k) {
      const std::uint64_t len = std::min(kMaxDirectCopyBytes, run.size - done);
      auto queued = backend.memcpy_h2d_async_raw(DeviceRegion{DevicePtr{run.device.value + done}, len},
                                                 data.data() + run.file_offset + done, static_cast<std::size_t>(len),
                                                 (*streams)[k % 2]);
      if (!queued) return std::unexpected(backend_err<RestoreError>(queued.error()));
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (auto ok = streams->sync(i); !ok) return std::unexpected(backend_err<RestoreError>(ok.error()));
  }
  if (auto ok = streams->destroy(); !ok) return std::unexpected(backend_err<RestoreError>(ok.error()));
  return {};
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_bytes(const Backend& backend,
                                                                       std::span<const std::uint8_t> data,
                                                                       const RegionResolver& resolve,
                                                                       const PipelineConfig& config) {
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;

  const std::uint64_t chunk_size = config.chunk_size;
  if (!chunk_size_is_valid(chunk_size)) {
    return std::unexpected(RestoreError{RestoreError::InvalidConfig{invalid_chunk_size_message(chunk_size)}});
  }
  const std::span<const CopyEntry> entries = plan->entries;
  const ChunkRange range = payload_chunks(entries, chunk_size);

  auto staging = Staging::create(backend, StagingMemory::WriteCombined, static_cast<std::size_t>(chunk_size));
  if (!staging) return std::unexpected(backend_err<RestoreError>(staging.error()));
  if (auto ok = verify_plan_crcs_from_bytes(std::as_bytes(data), entries); !ok)
    return std::unexpected(std::move(ok.error()));
  if (auto ok = check_staged_range(data, range); !ok) return std::unexpected(std::move(ok.error()));

  StagingRun run(backend, *staging, range, data, entries, config.allocations);
  if (auto ok = run_chunk_loop(range.num_chunks(), staging->streams(), run); !ok)
    return std::unexpected(std::move(ok.error()));
  if (auto ok = staging->commit(); !ok) return std::unexpected(backend_err<RestoreError>(ok.error()));
  return stats;
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_registered_bytes(const Backend& backend,
                                                                                  std::span<const std::uint8_t> data,
                                                                                  const RegionResolver& resolve,
                                                                                  const PipelineConfig& config) {
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;

  // The runtime takes a mutable pointer; registration never writes the bytes.
  auto registration = backend.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
  if (!registration) return std::unexpected(backend_err<RestoreError>(registration.error()));
  if (auto ok = run_pre_registered_plan(backend, data, plan->entries, config.allocations); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return stats;
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_pre_registered_bytes(
    const Backend& backend, std::span<const std::uint8_t> data, const RegionResolver& resolve,
    const PipelineConfig& config) {
  return restore_planned_from_registered(backend, data, resolve, config.allocations);
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_bytes_auto(const Backend& backend,
                                                                            std::span<const std::uint8_t> data,
                                                                            const RegionResolver& resolve,
                                                                            const PipelineConfig& config) {
  // The runtime takes a mutable pointer; registration never writes the bytes.
  auto registration = backend.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
  if (!registration) {
    write_stderr_line("vesk: WARN restore_pipelined_from_bytes_auto: zero-copy host_register failed (" +
                      registration.error().message() + ") for " + std::to_string(data.size()) +
                      " bytes; falling back to staging-buffer restore (slower, but works)\n");
    return restore_pipelined_from_bytes(backend, data, resolve, config);
  }
  // From here on the registration is released on every exit, after the
  // plan's streams are drained (they live inside run_pre_registered_plan).
  return restore_planned_from_registered(backend, data, resolve, config.allocations);
}

}  // namespace vesk
