#include "pipeline/restore_memory.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "format/snapshot.h"
#include "io/io_error.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/copy_runs.h"
#include "pipeline/restore_file.h"
#include "pipeline/restore_plan.h"
#include "pipeline/stream_pair.h"

namespace vesk {
namespace {

RestoreError short_data(std::string message) {
  return RestoreError{RestoreError::Snapshot{SnapshotError{SnapshotError::Io{IoErrorKind::UnexpectedEof,
                                                                             std::move(message)}}}};
}

RestoreError backend_error(BackendError e) { return RestoreError{RestoreError::Backend{std::move(e)}}; }

// Every payload must lie inside the buffer before a checksum is computed
// over it or a device copy reads it: the table is untrusted input.
std::expected<void, RestoreError> check_payload_bounds(std::span<const std::uint8_t> data,
                                                       std::span<const CopyEntry> plan) {
  for (const CopyEntry& e : plan) {
    const std::uint64_t end = saturating_end(e.file_offset, e.size);
    if (end > data.size()) {
      return std::unexpected(RestoreError{RestoreError::PayloadOutOfBounds{
          data.size(), static_cast<std::size_t>(std::min<std::uint64_t>(end, std::numeric_limits<std::size_t>::max()))}});
    }
  }
  return {};
}

// The checksum pass of every path: bounds first, then the CRCs. With
// verification switched off nothing is read here.
std::expected<void, RestoreError> verify_in_bounds(std::span<const std::uint8_t> data,
                                                   std::span<const CopyEntry> plan) {
  if (crc_verification_disabled()) return {};
  if (auto ok = check_payload_bounds(data, plan); !ok) return ok;
  return verify_plan_crcs_from_bytes(std::as_bytes(data), plan);
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

// Chunk geometry of the staging path.
struct StagedRange {
  std::uint64_t read_start = 0;
  std::uint64_t read_len = 0;
  std::uint64_t chunk_size = 0;
  std::uint64_t num_chunks = 0;

  std::uint64_t chunk_start(std::uint64_t i) const { return read_start + i * chunk_size; }
  std::uint64_t chunk_len(std::uint64_t i) const { return std::min(chunk_size, read_len - i * chunk_size); }
};

StagedRange staged_range(std::span<const CopyEntry> plan, std::uint64_t chunk_size) {
  // The smallest offset, not the first entry's: a table out of file order
  // must not leave bytes before the first entry unsent.
  std::uint64_t payload_start = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t payload_end = 0;
  for (const CopyEntry& e : plan) {
    payload_start = std::min(payload_start, e.file_offset);
    payload_end = std::max(payload_end, saturating_end(e.file_offset, e.size));
  }
  StagedRange r;
  r.read_start = payload_start / kAlign * kAlign;
  r.read_len = payload_end - r.read_start;
  r.chunk_size = chunk_size;
  r.num_chunks = r.read_len / chunk_size + (r.read_len % chunk_size != 0 ? 1 : 0);
  return r;
}

std::string too_short_message(std::uint64_t offset, std::uint64_t end, std::size_t len) {
  return "data too short: need byte " + std::to_string(offset) + ".." + std::to_string(end) + " but len is " +
         std::to_string(len);
}

// The first chunk whose bytes the buffer does not hold, reported as its
// staging would report it. Found before the first copy is queued, so a
// truncated buffer never leaves the device half written.
std::expected<void, RestoreError> check_staged_range(std::span<const std::uint8_t> data, const StagedRange& r) {
  const std::uint64_t len = data.size();
  if (r.num_chunks == 0 || r.read_start + r.read_len <= len) return {};
  // Chunk ends increase, so the first short chunk is the one holding byte
  // `len` (or the first chunk of all when the range starts past the end).
  const std::uint64_t i = len <= r.read_start ? 0 : (len - r.read_start) / r.chunk_size;
  const std::uint64_t start = r.chunk_start(i);
  return std::unexpected(short_data(too_short_message(start, start + r.chunk_len(i), data.size())));
}

// Copies buffer bytes [offset, offset + length) into the front of a staging
// buffer.
std::expected<void, RestoreError> copy_chunk(std::span<const std::uint8_t> data, PinnedBuffer& staging,
                                             std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t end = saturating_end(offset, length);
  if (end > data.size()) return std::unexpected(short_data(too_short_message(offset, end, data.size())));
  std::memcpy(staging.data(), data.data() + offset, length);
  return {};
}

}  // namespace

std::expected<CopyPlan, RestoreError> plan_copies_from_bytes(std::span<const std::uint8_t> data,
                                                             const RegionResolver& resolve) {
  if (data.size() < HEADER_SIZE) {
    return std::unexpected(short_data("data too short for header: " + std::to_string(data.size()) + " bytes"));
  }
  auto snapshot = Snapshot::from_prelude_bytes(data);
  if (!snapshot) return std::unexpected(RestoreError{RestoreError::Snapshot{std::move(snapshot.error())}});

  return plan_copies(snapshot->table, resolve);
}

std::expected<void, RestoreError> run_pre_registered_plan(const PipelinedBackend& backend,
                                                          std::span<const std::uint8_t> data,
                                                          std::span<const CopyEntry> plan) {
  // Bounds are checked whether or not checksums are: the copies below read
  // the caller's buffer directly.
  if (auto ok = check_payload_bounds(data, plan); !ok) return ok;
  if (auto ok = verify_plan_crcs_from_bytes(std::as_bytes(data), plan); !ok) return ok;

  auto streams = StreamPair::create(backend);
  if (!streams) return std::unexpected(backend_error(streams.error()));

  // Everything is queued before the first wait so that consecutive copies
  // overlap in the copy engines; runs of regions contiguous in both the
  // buffer and device memory go as one copy per piece.
  const std::vector<CopyRun> runs = restore_copy_runs(plan, restore_file_order(plan));
  std::size_t k = 0;
  for (const CopyRun& run : runs) {
    for (std::uint64_t done = 0; done < run.size; done += kMaxDirectCopyBytes, ++k) {
      const std::uint64_t len = std::min(kMaxDirectCopyBytes, run.size - done);
      auto queued = backend.memcpy_h2d_async_raw(DeviceRegion{DevicePtr{run.device.value + done}, len},
                                                 data.data() + run.file_offset + done, static_cast<std::size_t>(len),
                                                 (*streams)[k % 2]);
      if (!queued) return std::unexpected(backend_error(queued.error()));
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (auto ok = streams->sync(i); !ok) return std::unexpected(backend_error(ok.error()));
  }
  if (auto ok = streams->destroy(); !ok) return std::unexpected(backend_error(ok.error()));
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
  const StagedRange range = staged_range(entries, chunk_size);

  auto acquired = acquire_wc_bufs(backend, static_cast<std::size_t>(chunk_size));
  if (!acquired) return std::unexpected(backend_error(acquired.error()));
  BufferPair bufs = std::move(*acquired);
  // Declared after the buffers: on a failure return it drains both streams
  // before the buffers are freed.
  auto streams = StreamPair::create(backend);
  if (!streams) return std::unexpected(backend_error(streams.error()));

  if (auto ok = verify_in_bounds(data, entries); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_staged_range(data, range); !ok) return std::unexpected(std::move(ok.error()));

  const std::uint64_t n = range.num_chunks;
  // Regions in file order, once; each chunk continues where the last one
  // stopped.
  const std::vector<CopyRun> runs = restore_copy_runs(entries, restore_file_order(entries));
  ChunkCursor cursor;
  auto dispatch = [&](std::uint64_t i) -> std::expected<void, RestoreError> {
    const std::uint64_t start = range.chunk_start(i);
    if (auto ok = upload_chunk(backend, bufs[i % 2], (*streams)[i % 2], start, start + range.chunk_len(i), runs, cursor);
        !ok)
      return std::unexpected(backend_error(ok.error()));
    return {};
  };
  if (n > 0) {
    if (auto ok = copy_chunk(data, bufs[0], range.chunk_start(0), range.chunk_len(0)); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
  }
  if (n == 1) {
    if (auto ok = dispatch(0); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = streams->sync(0); !ok) return std::unexpected(backend_error(ok.error()));
  } else if (n >= 2) {
    for (std::uint64_t i = 1; i < n; ++i) {
      if (auto ok = dispatch(i - 1); !ok) return std::unexpected(std::move(ok.error()));
      // Buffer i % 2 was last read by stream i % 2, waited for in the
      // previous iteration (or never used yet).
      if (auto ok = copy_chunk(data, bufs[i % 2], range.chunk_start(i), range.chunk_len(i)); !ok) {
        return std::unexpected(std::move(ok.error()));
      }
      if (auto ok = streams->sync((i - 1) % 2); !ok) return std::unexpected(backend_error(ok.error()));
    }
    if (auto ok = dispatch(n - 1); !ok) return std::unexpected(std::move(ok.error()));
    for (std::size_t i = 0; i < 2; ++i) {
      if (auto ok = streams->sync(i); !ok) return std::unexpected(backend_error(ok.error()));
    }
  }
  if (auto ok = streams->destroy(); !ok) return std::unexpected(backend_error(ok.error()));
  release_wc_bufs(std::move(bufs), static_cast<std::size_t>(chunk_size));
  return stats;
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_registered_bytes(const Backend& backend,
                                                                                  std::span<const std::uint8_t> data,
                                                                                  const RegionResolver& resolve,
                                                                                  const PipelineConfig& /*config*/) {
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;

  // The runtime takes a mutable pointer; registration never writes the bytes.
  auto registration = backend.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
  if (!registration) return std::unexpected(backend_error(registration.error()));
  if (auto ok = run_pre_registered_plan(backend, data, plan->entries); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return stats;
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from_pre_registered_bytes(
    const Backend& backend, std::span<const std::uint8_t> data, const RegionResolver& resolve,
    const PipelineConfig& /*config*/) {
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;
  if (auto ok = run_pre_registered_plan(backend, data, plan->entries); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return stats;
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
  auto plan = plan_copies_from_bytes(data, resolve);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const RestoreStats stats{plan->entries.size(), plan->total_bytes};
  if (plan->entries.empty()) return stats;
  if (auto ok = run_pre_registered_plan(backend, data, plan->entries); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return stats;
}

}  // namespace vesk
