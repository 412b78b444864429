#include "pipeline/freeze.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "format/writer.h"
#include "io/direct_file.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/config.h"
#include "pipeline/copy_runs.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/stream_pair.h"
#include "pipeline/worker_thread.h"

namespace vesk {

namespace {

FreezeError io_err(const IoError& e) { return FreezeError{FreezeError::Snapshot{SnapshotError::from_io(e)}}; }
FreezeError backend_err(BackendError e) { return FreezeError{FreezeError::Backend{std::move(e)}}; }

// The state one freeze shares between its per-chunk steps.
class FreezeRun {
 public:
  FreezeRun(const PipelinedBackend& backend, const FreezeLayout& layout, std::uint64_t chunk_size,
            const DirectFile& file_direct, const DirectFile& file_buffered, IoPieces pieces)
      : backend_(backend),
        layout_(layout),
        chunk_size_(chunk_size),
        file_len_(layout.total_file_size),
        file_direct_(file_direct),
        file_buffered_(file_buffered),
        direct_pieces_(write_pieces_for(file_direct, pieces)),
        buffered_pieces_(write_pieces_for(file_buffered, pieces)),
        runs_(freeze_copy_runs(layout.plan)) {}

  std::uint64_t num_chunks() const { return (file_len_ + chunk_size_ - 1) / chunk_size_; }

  std::uint64_t chunk_start(std::uint64_t idx) const { return idx * chunk_size_; }
  std::uint64_t chunk_end(std::uint64_t idx) const {
    const std::uint64_t start = chunk_start(idx);
    return file_len_ - start > chunk_size_ ? start + chunk_size_ : file_len_;
  }

  // Prelude bytes by host copy, payload pieces by queued device copies
  // (one per run of regions contiguous on the device). Chunks come in file
  // order.
  std::expected<void, FreezeError> prepare_chunk(PinnedBuffer& buf, const StreamHandle& stream,
                                                 std::uint64_t start, std::uint64_t end) {
    const auto& prelude = layout_.prelude_bytes;
    const std::uint64_t pre_end = prelude.size();
    if (start < pre_end) {
      const std::uint64_t overlap_end = std::min(end, pre_end);
      std::memcpy(buf.data(), prelude.data() + start, overlap_end - start);
    }
    if (auto r = dump_chunk(backend_, buf, stream, start, end, runs_, dump_cursor_); !r)
      return std::unexpected(backend_err(r.error()));
    return {};
  }

  // A whole chunk at its aligned offset, in pieces written side by side;
  // the zero padding of a short final chunk is cut off by the truncation at
  // the end.
  std::expected<void, FreezeError> write_chunk_to_file(PinnedBuffer& buf, std::uint64_t start,
                                                       std::uint64_t len) const {
    const std::uint64_t aligned = round_up_4096(len);
    if (file_direct_.direct && aligned <= chunk_size_) {
      std::memset(buf.data() + len, 0, aligned - len);
      auto r = pwrite_pieces(file_direct_, buf.as_slice().first(aligned), start, direct_pieces_);
      // EINVAL: this file system took the O_DIRECT open but not this write.
      if (!r && r.error().kind() == IoErrorKind::InvalidInput)
        r = pwrite_pieces(file_buffered_, buf.as_slice().first(len), start, buffered_pieces_);
      if (!r) return std::unexpected(io_err(r.error()));
      return {};
    }
    if (auto r = pwrite_pieces(file_buffered_, buf.as_slice().first(len), start, buffered_pieces_); !r)
      return std::unexpected(io_err(r.error()));
    return {};
  }

  // Checksums and the write of a chunk whose copies were waited for. The
  // checksums are computed on a worker while this thread writes: both only
  // read the chunk's bytes (the write's zero padding lies past its end), so
  // the checksum time hides behind the disk. A worker that cannot be
  // started leaves the checksums to this thread, before the write.
  std::expected<void, FreezeError> finish_chunk(PinnedBuffer& buf, std::uint64_t idx,
                                                std::span<std::uint32_t> crcs) {
    const std::uint64_t start = chunk_start(idx);
    const std::uint64_t end = chunk_end(idx);
    std::exception_ptr crc_failure;
    auto fold = [&]() noexcept {
      try {
        accumulate_freeze_crcs(buf, start, end, start, layout_.plan, crcs, crc_cursor_);
      } catch (...) {
        crc_failure = std::current_exception();
      }
    };
    std::optional<std::jthread> worker = try_start_worker(fold);
    if (!worker) fold();
    auto written = write_chunk_to_file(buf, start, end - start);
    if (worker) worker->join();
    if (crc_failure) std::rethrow_exception(crc_failure);
    return written;
  }

 private:
  const PipelinedBackend& backend_;
  const FreezeLayout& layout_;
  std::uint64_t chunk_size_;
  std::uint64_t file_len_;
  const DirectFile& file_direct_;
  const DirectFile& file_buffered_;
  IoPieces direct_pieces_;
  IoPieces buffered_pieces_;
  std::vector<CopyRun> runs_;
  ChunkCursor dump_cursor_;  // used by the calling thread only
  ChunkCursor crc_cursor_;   // used by one checksum fold at a time
};

// The directory that holds `path`, empty for a bare file name.
std::string parent_dir(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

namespace {

// The largest length a file can have (off_t is signed 64-bit).
constexpr std::uint64_t kMaxFileLength = static_cast<std::uint64_t>(INT64_MAX);

FreezeError layout_overflow() { return FreezeError{FreezeError::Snapshot{SnapshotError{SnapshotError::OffsetOverflow{}}}}; }

}  // namespace

std::expected<FreezeLayout, FreezeError> build_freeze_plan(std::span<const FreezeRequest> requests,
                                                           const FreezeConfig& config) {
  // The layout packs regions back to back from the end of the table; sizes
  // whose sum does not fit a file offset would wrap and produce a short,
  // broken file reported as success. Refuse them before anything is opened.
  if (requests.size() > (kMaxFileLength - HEADER_SIZE) / REGION_ENTRY_SIZE) return std::unexpected(layout_overflow());
  // A snapshot holding one key twice cannot be restored to one meaning.
  if (const auto dup = first_duplicate_key(requests))
    return std::unexpected(FreezeError{FreezeError::DuplicateRegion{dup->kind, dup->logical_id}});
  std::uint64_t file_len = HEADER_SIZE + REGION_ENTRY_SIZE * requests.size();
  for (const auto& req : requests) {
    if (req.device_region.size > kMaxFileLength - file_len) return std::unexpected(layout_overflow());
    file_len += req.device_region.size;
  }

  ByteRegionWriter writer;
  if (config.vllm_commit) writer.set_vllm_commit(*config.vllm_commit);
  for (const auto& req : requests) writer.push_region_metadata(req.kind, req.logical_id, req.device_region.size);
  const Snapshot snapshot = writer.build_snapshot();

  FreezeLayout layout;
  layout.prelude_bytes.reserve(snapshot.prelude_size());
  snapshot.write_to(layout.prelude_bytes);

  std::uint64_t total_bytes = 0;
  layout.plan.reserve(requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto entry = snapshot.table.get(i);
    if (!entry) {
      // The table was built from these very requests.
      std::fputs("region_table entry for freeze request\n", stderr);
      std::abort();
    }
    const auto& req = requests[i];
    layout.plan.push_back(FreezePlan{req.kind, req.logical_id, entry->file_offset, entry->size, req.device_region});
    total_bytes += req.device_region.size;
  }
  layout.total_file_size = snapshot.prelude_size() + total_bytes;
  return layout;
}

BackendResult<void> launch_dumps(const PipelinedBackend& backend, PinnedBuffer& buf, const StreamHandle& stream,
                                 std::uint64_t chunk_start, std::uint64_t chunk_end,
                                 std::span<const FreezePlan> plan) {
  ChunkCursor cursor;
  return dump_chunk(backend, buf, stream, chunk_start, chunk_end, freeze_copy_runs(plan), cursor);
}

std::string tmp_path_for(const std::string& path) { return path + kTmpSuffix; }

IoResult<void> commit_tmp_to_final(const std::string& tmp_path, const std::string& final_path) {
  if (::rename(tmp_path.c_str(), final_path.c_str()) != 0) return std::unexpected(IoError::from_errno(errno));
  // The rename is done; a directory that cannot be synced does not undo it.
  if (const std::string dir = parent_dir(final_path); !dir.empty()) (void)fsync_dir(dir);
  return {};
}

TmpFileGuard::~TmpFileGuard() {
  if (!path_) return;
  if (owned_ && !owned_->check_still_named()) return;
  (void)::unlink(path_->c_str());
}

std::expected<FreezeStats, FreezeError> freeze_pipelined_to_file(const Backend& backend,
                                                                 std::span<const FreezeRequest> requests,
                                                                 const FreezeConfig& config, const std::string& path) {
  auto layout_r = build_freeze_plan(requests, config);
  if (!layout_r) return std::unexpected(layout_r.error());
  const FreezeLayout& layout = *layout_r;

  // Destruction order matters on failure paths: the streams are drained
  // first, then the buffers go, then the files close, then the unfinished
  // file is removed. Only a file this call created is ever written or
  // removed (io/owned_temp_file.h); both descriptors are reopenings of it.
  const std::string tmp_path = tmp_path_for(path);
  auto created = OwnedTempFile::create(tmp_path);
  if (!created) return std::unexpected(io_err(created.error()));
  TmpFileGuard guard = TmpFileGuard::arm(*std::move(created));
  const DirectFile& tmp_file = guard.owned().file();

  auto file_direct = reopen_direct(tmp_file, O_WRONLY, config.try_direct_io);
  if (!file_direct) return std::unexpected(io_err(file_direct.error()));
  auto file_buffered = reopen_direct(tmp_file, O_WRONLY, false);
  if (!file_buffered) return std::unexpected(io_err(file_buffered.error()));

  const std::uint64_t chunk_size = config.chunk_size;
  if (!chunk_size_is_valid(chunk_size))
    return std::unexpected(FreezeError{FreezeError::InvalidConfig{invalid_chunk_size_message(chunk_size)}});

  std::uint64_t total_bytes = 0;
  for (const auto& p : layout.plan) total_bytes += p.size;

  auto bufs_r = acquire_pinned_bufs(backend, chunk_size);
  if (!bufs_r) return std::unexpected(backend_err(bufs_r.error()));
  BufferPair& bufs = *bufs_r;
  auto streams_r = StreamPair::create(backend);
  if (!streams_r) return std::unexpected(backend_err(streams_r.error()));
  StreamPair& streams = *streams_r;

  std::vector<std::uint32_t> crcs(layout.plan.size(), 0);
  FreezeRun run(backend, layout, chunk_size, *file_direct, *file_buffered, config.io_pieces);
  const std::uint64_t num_chunks = run.num_chunks();

  if (auto r = run.prepare_chunk(bufs[0], streams[0], run.chunk_start(0), run.chunk_end(0)); !r)
    return std::unexpected(r.error());
  if (auto r = streams.sync(0); !r) return std::unexpected(backend_err(r.error()));

  // While the device fills one buffer, the host checksums and writes the
  // other. A buffer is refilled only after its stream was waited for and
  // its contents were written.
  for (std::uint64_t idx = 1; idx < num_chunks; ++idx) {
    const std::size_t curr = idx % 2;
    const std::size_t prev = (idx - 1) % 2;
    if (auto r = run.prepare_chunk(bufs[curr], streams[curr], run.chunk_start(idx), run.chunk_end(idx)); !r)
      return std::unexpected(r.error());
    if (auto r = run.finish_chunk(bufs[prev], idx - 1, crcs); !r) return std::unexpected(r.error());
    if (auto r = streams.sync(curr); !r) return std::unexpected(backend_err(r.error()));
  }
  const std::uint64_t last = num_chunks - 1;
  if (auto r = run.finish_chunk(bufs[last % 2], last, crcs); !r) return std::unexpected(r.error());

  const auto table_bytes = region_table_bytes_with_crcs(layout.plan, crcs);
  if (auto r = pwrite_exact(*file_buffered, std::as_bytes(std::span(table_bytes)), HEADER_SIZE); !r)
    return std::unexpected(io_err(r.error()));
  if (auto r = truncate(*file_direct, layout.total_file_size); !r) return std::unexpected(io_err(r.error()));
  if (auto r = fsync_file(*file_direct); !r) return std::unexpected(io_err(r.error()));
  file_direct->file.reset();
  file_buffered->file.reset();

  if (auto r = guard.owned().check_still_named(); !r) return std::unexpected(io_err(r.error()));
  if (auto r = commit_tmp_to_final(tmp_path, path); !r) return std::unexpected(io_err(r.error()));
  guard.disarm();

  // The snapshot is in place; a stream that cannot be destroyed still
  // fails the call, and the buffers are then freed rather than cached.
  if (auto r = streams.destroy(); !r) return std::unexpected(backend_err(r.error()));
  release_pinned_bufs(std::move(bufs), chunk_size);
  return FreezeStats{layout.plan.size(), total_bytes};
}

}  // namespace vesk
