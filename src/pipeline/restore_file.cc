#include "pipeline/restore_file.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

#include "io/direct_file.h"
#include "io/page_cache.h"
#include "io/readable_file.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/copy_runs.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/prelude_reader.h"
#include "pipeline/restore_plan.h"
#include "pipeline/stream_pair.h"
#include "pipeline/worker_thread.h"

namespace vesk {

namespace {

std::atomic<ChunkCrcFold> g_fold_override{nullptr};

// One chunk's checksums, regions visited in file order from `cursor`; a
// fold installed by a test sees the whole plan instead.
std::expected<void, RestoreError> fold_chunk(std::span<const std::byte> src, std::uint64_t chunk_start,
                                             std::uint64_t chunk_end, std::span<const CopyEntry> plan,
                                             std::span<const std::size_t> file_order,
                                             std::span<RestoreCrcState> state, ChunkCursor& cursor) {
  if (const ChunkCrcFold fold = g_fold_override.load(std::memory_order_relaxed))
    return fold(src, chunk_start, chunk_start, chunk_end, plan, state);
  return fold_and_verify_chunk_crc(src, chunk_start, chunk_start, chunk_end, plan, file_order, state, cursor);
}

RestoreError io_err(const IoError& e) { return RestoreError{RestoreError::Snapshot{SnapshotError::from_io(e)}}; }
RestoreError snapshot_err(SnapshotError e) { return RestoreError{RestoreError::Snapshot{std::move(e)}}; }
RestoreError backend_err(BackendError e) { return RestoreError{RestoreError::Backend{std::move(e)}}; }

// Every table entry, in table order, planned as the table is read: the
// table itself is never held, so a header that lies about its count costs
// no more than the plan a real table of that size needs, and nothing once
// an entry is not mapped. Entries after the first unmapped or mis-sized
// one are still decoded, so that a table that does not decode is reported
// first, as when the table is read whole before it is planned.
std::expected<CopyPlan, RestoreError> read_plan(const DirectFile& file, const RegionResolver& resolve) {
  CopyPlan plan;
  std::optional<RestoreError> refused;
  auto head = visit_snapshot_prelude(
      file, TableEntryVisitor{[&](std::uint64_t n) { plan.entries.reserve(table_reserve_hint(n)); },
                              [&](const RegionEntry& entry) {
                                if (refused) return true;
                                auto copy = plan_copy(entry, resolve);
                                if (!copy) {
                                  refused = std::move(copy.error());
                                  plan = CopyPlan{};
                                  return true;
                                }
                                plan.entries.push_back(*copy);
                                plan.total_bytes += copy->size;
                                return true;
                              }});
  if (!head) return std::unexpected(snapshot_err(head.error()));
  if (refused) return std::unexpected(*std::move(refused));
  return plan;
}

// The file range the payload occupies. It starts at the smallest offset in
// the table, not the first entry's: a table out of file order must not
// leave bytes of earlier-placed regions unread.
struct PayloadRange {
  std::uint64_t read_start;
  std::uint64_t read_len;
};

std::expected<PayloadRange, RestoreError> payload_range(std::span<const CopyEntry> plan) {
  std::uint64_t payload_start = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t payload_end = 0;
  for (const auto& e : plan) {
    if (e.size > std::numeric_limits<std::uint64_t>::max() - e.file_offset)
      return std::unexpected(snapshot_err(SnapshotError{SnapshotError::OffsetOverflow{}}));
    payload_start = std::min(payload_start, e.file_offset);
    payload_end = std::max(payload_end, e.file_offset + e.size);
  }
  const std::uint64_t read_start = payload_start / kAlign * kAlign;
  return PayloadRange{read_start, payload_end - read_start};
}

// The state one restore shares between its per-chunk steps.
class RestoreRun {
 public:
  RestoreRun(std::uint64_t chunk_size, PayloadRange range, const DirectFile& file, const DirectFile& buffered_file,
             IoPieces pieces)
      : chunk_size_(chunk_size),
        range_(range),
        file_(file),
        buffered_file_(buffered_file),
        file_pieces_(read_pieces_for(file, pieces)),
        buffered_pieces_(read_pieces_for(buffered_file, pieces)),
        cache_(PageCacheProbe::of(file_.direct ? file_.file.get() : -1)) {}

  std::uint64_t num_chunks() const { return (range_.read_len + chunk_size_ - 1) / chunk_size_; }
  std::uint64_t chunk_start(std::uint64_t idx) const { return range_.read_start + idx * chunk_size_; }
  std::uint64_t chunk_len(std::uint64_t idx) const { return std::min(chunk_size_, range_.read_len - idx * chunk_size_); }
  std::uint64_t chunk_end(std::uint64_t idx) const { return chunk_start(idx) + chunk_len(idx); }

  // `needed` file bytes from `offset` into the start of the buffer, in
  // pieces that are read side by side. A chunk mostly in the page cache is
  // read through it (a direct read would fetch it from the disk again).
  // Otherwise whole blocks are read direct and a tail shorter than a block
  // (at the end of a file whose length is not a multiple of 4096) through
  // the plain descriptor; where the direct read is refused or runs past
  // the end of the file, the exact range comes through the plain
  // descriptor.
  std::expected<void, RestoreError> read_chunk(PinnedBuffer& buf, std::uint64_t offset, std::uint64_t needed) const {
    const auto dst = buf.as_mut_slice();
    if (file_.direct && !mostly_cached(offset, needed)) {
      const std::uint64_t body = round_down_4096(needed);
      IoResult<void> r;
      if (body > 0) r = pread_pieces(file_, dst.first(body), offset, file_pieces_);
      if (r && body < needed) r = pread_exact(buffered_file_, dst.subspan(body, needed - body), offset + body);
      if (!r && (r.error().kind() == IoErrorKind::InvalidInput || r.error().kind() == IoErrorKind::UnexpectedEof))
        r = pread_pieces(buffered_file_, dst.first(needed), offset, buffered_pieces_);
      if (!r) return std::unexpected(io_err(r.error()));
      return {};
    }
    if (auto r = pread_pieces(buffered_file_, dst.first(needed), offset, buffered_pieces_); !r)
      return std::unexpected(io_err(r.error()));
    return {};
  }

 private:
  // At least half of the range's pages resident: a read through the cache
  // then costs at most what the direct read of the whole range would.
  bool mostly_cached(std::uint64_t offset, std::uint64_t len) const {
    return cache_.resident_bytes(offset, len) * 2 >= len;
  }

  std::uint64_t chunk_size_;
  PayloadRange range_;
  const DirectFile& file_;
  const DirectFile& buffered_file_;
  IoPieces file_pieces_;
  IoPieces buffered_pieces_;
  PageCacheProbe cache_;
};

std::span<const std::byte> chunk_bytes(const PinnedBuffer& buf, std::uint64_t len) { return buf.as_slice().first(len); }

}  // namespace

void set_chunk_crc_fold_for_testing(ChunkCrcFold fold) { g_fold_override.store(fold, std::memory_order_relaxed); }

std::expected<void, RestoreError> launch_uploads(const PipelinedBackend& backend, const PinnedBuffer& buf,
                                                 const StreamHandle& stream, std::uint64_t chunk_start,
                                                 std::uint64_t chunk_end, std::span<const CopyEntry> plan) {
  const std::vector<CopyRun> runs = restore_copy_runs(plan, restore_file_order(plan));
  ChunkCursor cursor;
  if (auto r = upload_chunk(backend, buf, stream, chunk_start, chunk_end, runs, cursor); !r)
    return std::unexpected(backend_err(r.error()));
  return {};
}

std::expected<RestoreStats, RestoreError> restore_pipelined(const Backend& backend, const std::string& path,
                                                            const RegionResolver& resolve,
                                                            const PipelineConfig& config) {
  // The path is opened once: the payload descriptor is a reopening of the
  // same open file, so every byte of this restore comes from one inode even
  // where the path is renamed over meanwhile.
  auto buffered_file = open_readable_file(path);
  if (!buffered_file) return std::unexpected(io_err(buffered_file.error()));
  auto plan_r = read_plan(*buffered_file, resolve);
  if (!plan_r) return std::unexpected(plan_r.error());
  const std::vector<CopyEntry>& plan = plan_r->entries;
  if (plan.empty()) return RestoreStats{0, 0};

  auto file = reopen_direct(*buffered_file, O_RDONLY, config.try_direct_io);
  if (!file) return std::unexpected(io_err(file.error()));

  const std::uint64_t chunk_size = config.chunk_size;
  if (!chunk_size_is_valid(chunk_size))
    return std::unexpected(RestoreError{RestoreError::InvalidConfig{invalid_chunk_size_message(chunk_size)}});

  const auto range = payload_range(plan);
  if (!range) return std::unexpected(range.error());
  const RestoreRun run(chunk_size, *range, *file, *buffered_file, config.io_pieces);
  const std::uint64_t num_chunks = run.num_chunks();

  // Declared after the buffers: on a failure path the streams are drained
  // and destroyed before any buffer a queued copy reads is freed.
  auto bufs_r = acquire_pinned_bufs(backend, chunk_size);
  if (!bufs_r) return std::unexpected(backend_err(bufs_r.error()));
  BufferPair& bufs = *bufs_r;
  auto streams_r = StreamPair::create(backend);
  if (!streams_r) return std::unexpected(backend_err(streams_r.error()));
  StreamPair& streams = *streams_r;

  // Regions in file order, once: every chunk continues the walks of the
  // chunk before it.
  const std::vector<std::size_t> order = restore_file_order(plan);
  const std::vector<CopyRun> runs = restore_copy_runs(plan, order);
  std::vector<RestoreCrcState> crc_state(plan.size());
  ChunkCursor crc_cursor;
  ChunkCursor copy_cursor;
  auto fold = [&](std::uint64_t idx) {
    return fold_chunk(chunk_bytes(bufs[idx % 2], run.chunk_len(idx)), run.chunk_start(idx), run.chunk_end(idx),
                      plan, order, crc_state, crc_cursor);
  };
  auto upload = [&](std::uint64_t idx) -> std::expected<void, RestoreError> {
    if (auto r = upload_chunk(backend, bufs[idx % 2], streams[idx % 2], run.chunk_start(idx), run.chunk_end(idx),
                              runs, copy_cursor);
        !r)
      return std::unexpected(backend_err(r.error()));
    return {};
  };

  // The last chunk (or a single one) is verified before its copies are
  // queued; earlier chunks are verified while the next one is read.
  auto finish_last = [&](std::uint64_t idx) -> std::expected<void, RestoreError> {
    if (auto r = fold(idx); !r) return r;
    return upload(idx);
  };

  if (num_chunks > 0) {
    if (auto r = run.read_chunk(bufs[0], run.chunk_start(0), run.chunk_len(0)); !r) return std::unexpected(r.error());
  }
  if (num_chunks == 1) {
    if (auto r = finish_last(0); !r) return std::unexpected(r.error());
    if (auto r = streams.sync(0); !r) return std::unexpected(backend_err(r.error()));
  }
  if (num_chunks >= 2) {
    for (std::uint64_t idx = 1; idx < num_chunks; ++idx) {
      const std::size_t prev = (idx - 1) % 2;
      const std::size_t curr = idx % 2;
      if (auto r = upload(idx - 1); !r) return std::unexpected(r.error());

      // The worker only reads buffer `prev` (as the device does) and owns
      // the running checksums; this thread writes only buffer `curr`. The
      // join is the only synchronisation. An empty result means the worker
      // ended abnormally. Where no worker can be started, this thread
      // folds the chunk after its read.
      std::optional<std::expected<void, RestoreError>> crc_result;
      std::expected<void, RestoreError> read_result;
      {
        auto work = [&]() noexcept {
          try {
            crc_result = fold(idx - 1);
          } catch (...) {
          }
        };
        std::optional<std::jthread> worker = try_start_worker(work);
        read_result = run.read_chunk(bufs[curr], run.chunk_start(idx), run.chunk_len(idx));
        if (worker) {
          worker->join();
          if (!crc_result) throw InternalFailure("CRC worker panicked");
        } else if (read_result) {
          crc_result = fold(idx - 1);
        }
      }
      if (!read_result) return std::unexpected(read_result.error());
      if (!*crc_result) return std::unexpected(crc_result->error());

      if (auto r = streams.sync(prev); !r) return std::unexpected(backend_err(r.error()));
    }
    if (auto r = finish_last(num_chunks - 1); !r) return std::unexpected(r.error());
    if (auto r = streams.sync(0); !r) return std::unexpected(backend_err(r.error()));
    if (auto r = streams.sync(1); !r) return std::unexpected(backend_err(r.error()));
  }

  if (auto r = streams.destroy(); !r) return std::unexpected(backend_err(r.error()));
  release_pinned_bufs(std::move(bufs), chunk_size);
  return RestoreStats{plan.size(), plan_r->total_bytes};
}

}  // namespace vesk
