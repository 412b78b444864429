#include "pipeline/restore_file.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <vector>

#include "io/direct_file.h"
#include "io/page_cache.h"
#include "io/readable_file.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/chunk_loop.h"
#include "pipeline/error_wrap.h"
#include "pipeline/copy_runs.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/prelude_reader.h"
#include "pipeline/restore_plan.h"
#include "pipeline/staging_buffers.h"

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

// Every table entry, in table order, planned as the table is read: the
// table itself is never held, so a header that lies about its count costs
// no more than the plan a real table of that size needs, and nothing once
// an entry is not mapped. Entries after the first unmapped or mis-sized
// one are still decoded, so that a table that does not decode is reported
// first, as when the table is read whole before it is planned.
template <class Source>
std::expected<CopyPlan, RestoreError> read_plan(const Source& source, const RegionResolver& resolve) {
  CopyPlanBuilder builder(resolve);
  auto head = visit_snapshot_prelude(
      source, TableEntryVisitor{[&](std::uint64_t n) { builder.reserve(table_reserve_hint(n)); },
                              [&](const RegionEntry& entry) {
                                builder.add(entry);
                                return true;
                              }});
  if (!head) return std::unexpected(snapshot_err<RestoreError>(head.error()));
  return std::move(builder).finish();
}

// A snapshot file's chunk reads. A chunk mostly in the page cache is read
// through it (a direct read would fetch it from the disk again).
// Otherwise whole blocks are read direct and a tail shorter than a block
// (at the end of a file whose length is not a multiple of 4096) through
// the plain descriptor; where the direct read is refused or runs past the
// end of the file, the exact range comes through the plain descriptor.
// Either way in pieces that are read side by side.
class FileChunkSource final : public ByteSource {
 public:
  FileChunkSource(const DirectFile& direct_file, const DirectFile& buffered_file, IoPieces pieces,
                  std::uint64_t length, std::string path)
      : direct_file_(direct_file),
        buffered_file_(buffered_file),
        direct_pieces_(read_pieces_for(direct_file, pieces)),
        buffered_pieces_(read_pieces_for(buffered_file, pieces)),
        cache_(PageCacheProbe::of(direct_file.direct ? direct_file.file.get() : -1)),
        length_(length),
        path_(std::move(path)) {}

  std::uint64_t length() const override { return length_; }
  std::string label() const override { return path_; }

  // Direct reads need the buffer aligned as the staging buffers are; an
  // unaligned one is refused by the kernel and read again plainly.
  IoResult<void> read_exact(std::span<std::byte> dst, std::uint64_t offset) const override {
    const std::uint64_t needed = dst.size();
    IoResult<void> r;
    if (direct_file_.direct && !mostly_cached(offset, needed)) {
      const std::uint64_t body = round_down_4096(needed);
      if (body > 0) r = pread_pieces(direct_file_, dst.first(body), offset, direct_pieces_);
      if (r && body < needed) r = pread_exact(buffered_file_, dst.subspan(body, needed - body), offset + body);
      if (!r && (r.error().kind() == IoErrorKind::InvalidInput || r.error().kind() == IoErrorKind::UnexpectedEof))
        r = pread_pieces(buffered_file_, dst, offset, buffered_pieces_);
    } else {
      r = pread_pieces(buffered_file_, dst, offset, buffered_pieces_);
    }
    return r;
  }

 private:
  // At least half of the range's pages resident: a read through the cache
  // then costs at most what the direct read of the whole range would.
  bool mostly_cached(std::uint64_t offset, std::uint64_t len) const {
    return cache_.resident_bytes(offset, len) * 2 >= len;
  }

  const DirectFile& direct_file_;
  const DirectFile& buffered_file_;
  IoPieces direct_pieces_;
  IoPieces buffered_pieces_;
  PageCacheProbe cache_;
  std::uint64_t length_;
  std::string path_;
};

// One restore's steps for run_chunk_loop: chunks are read from the source
// into the staging buffers, checked, and copied to the device.
class RestoreRun {
 public:
  using Error = RestoreError;
  static constexpr ChunkFill kFill = ChunkFill::Host;
  static constexpr bool kChecksums = true;

  RestoreRun(const PipelinedBackend& backend, Staging& staging, ChunkRange range, std::span<const CopyEntry> plan,
             const ByteSource& source, bool verify, const DeviceAllocations* allocations)
      : backend_(backend),
        staging_(staging),
        range_(range),
        plan_(plan),
        source_(source),
        verify_(verify),
        // Regions in file order, once: every chunk continues the walks of
        // the chunk before it.
        order_(restore_file_order(plan)),
        runs_(restore_copy_runs(plan, order_, allocations)),
        crc_state_(plan.size()) {}

  // `needed` bytes from the chunk's offset into the start of its buffer.
  std::expected<void, RestoreError> host(std::uint64_t k) {
    if (auto r = source_.read_exact(staging_.buffer(k).as_mut_slice().first(range_.chunk_len(k)),
                                    range_.chunk_start(k));
        !r)
      return std::unexpected(io_err<RestoreError>(r.error()));
    return {};
  }

  std::expected<void, RestoreError> queue(std::uint64_t k) {
    return upload_staged_chunk(backend_, staging_, range_, k, runs_, copy_cursor_);
  }

  // The worker owns the running checksums; it only reads the chunk's
  // buffer, as the device does.
  std::expected<void, RestoreError> check(std::uint64_t k) {
    if (!verify_) return {};
    return fold_chunk(staging_.buffer(k).as_slice().first(range_.chunk_len(k)), range_.chunk_start(k),
                      range_.chunk_end(k), plan_, order_, crc_state_, crc_cursor_);
  }

  [[noreturn]] void check_failed(std::exception_ptr) { throw InternalFailure("CRC worker panicked"); }

 private:
  const PipelinedBackend& backend_;
  Staging& staging_;
  ChunkRange range_;
  std::span<const CopyEntry> plan_;
  const ByteSource& source_;
  bool verify_;
  std::vector<std::size_t> order_;
  std::vector<CopyRun> runs_;
  std::vector<RestoreCrcState> crc_state_;
  ChunkCursor crc_cursor_;   // used by one check at a time
  ChunkCursor copy_cursor_;  // used by the calling thread only
};

// The chunked part of every restore from a source, once its plan is made.
std::expected<RestoreStats, RestoreError> restore_planned(const Backend& backend, const CopyPlan& planned,
                                                          const ByteSource& source, const PipelineConfig& config) {
  const std::vector<CopyEntry>& plan = planned.entries;
  const std::uint64_t chunk_size = config.chunk_size;
  if (!chunk_size_is_valid(chunk_size))
    return std::unexpected(RestoreError{RestoreError::InvalidConfig{invalid_chunk_size_message(chunk_size)}});
  if (payload_end_overflows(plan))
    return std::unexpected(snapshot_err<RestoreError>(SnapshotError{SnapshotError::OffsetOverflow{}}));
  const ChunkRange range = payload_chunks(plan, chunk_size);

  auto staging = Staging::create(backend, StagingMemory::Pinned, chunk_size);
  if (!staging) return std::unexpected(backend_err<RestoreError>(staging.error()));
  RestoreRun run(backend, *staging, range, plan, source, config.verify_checksums, config.allocations);
  if (auto r = run_chunk_loop(range.num_chunks(), staging->streams(), run); !r) return std::unexpected(r.error());
  if (auto r = staging->commit(); !r) return std::unexpected(backend_err<RestoreError>(r.error()));
  return RestoreStats{plan.size(), planned.total_bytes};
}

}  // namespace

void set_chunk_crc_fold_for_testing(ChunkCrcFold fold) { g_fold_override.store(fold, std::memory_order_relaxed); }

std::expected<void, RestoreError> upload_staged_chunk(const PipelinedBackend& backend, Staging& staging,
                                                      const ChunkRange& range, std::uint64_t k,
                                                      std::span<const CopyRun> runs, ChunkCursor& cursor) {
  if (auto r = upload_chunk(backend, staging.buffer(k), staging.stream(k), range.chunk_start(k), range.chunk_end(k),
                            runs, cursor);
      !r)
    return std::unexpected(backend_err<RestoreError>(r.error()));
  return {};
}

std::expected<RestoreStats, RestoreError> restore_pipelined(const Backend& backend, const std::string& path,
                                                            const RegionResolver& resolve,
                                                            const PipelineConfig& config) {
  // The path is opened once: the payload descriptor is a reopening of the
  // same open file, so every byte of this restore comes from one inode even
  // where the path is renamed over meanwhile.
  auto buffered_file = open_readable_file(path);
  if (!buffered_file) return std::unexpected(io_err<RestoreError>(buffered_file.error()));
  auto plan = read_plan(*buffered_file, resolve);
  if (!plan) return std::unexpected(plan.error());
  if (plan->entries.empty()) return RestoreStats{0, 0};

  auto direct_file = reopen_direct(*buffered_file, O_RDONLY, config.try_direct_io);
  if (!direct_file) return std::unexpected(io_err<RestoreError>(direct_file.error()));
  auto length = readable_length(*buffered_file);
  if (!length) return std::unexpected(io_err<RestoreError>(length.error()));
  const FileChunkSource source(*direct_file, *buffered_file, config.io_pieces, *length, path);
  return restore_planned(backend, *plan, source, config);
}

std::expected<RestoreStats, RestoreError> restore_pipelined_from(const Backend& backend, const ByteSource& source,
                                                                 const RegionResolver& resolve,
                                                                 const PipelineConfig& config) {
  auto plan = read_plan(source, resolve);
  if (!plan) return std::unexpected(plan.error());
  if (plan->entries.empty()) return RestoreStats{0, 0};
  return restore_planned(backend, *plan, source, config);
}

}  // namespace vesk
