#include "pipeline/freeze.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "format/writer.h"
#include "io/direct_file.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/chunk_loop.h"
#include "pipeline/config.h"
#include "pipeline/error_wrap.h"
#include "pipeline/copy_runs.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/staging_buffers.h"

namespace vesk {

namespace {

// A file-system failure of the freeze: the I/O error's own message, and
// the step and file it happened at for the person reading it.
FreezeError io_step_err(const IoError& e, std::string step) {
  FreezeError err = io_err<FreezeError>(e);
  err.failed_step = std::move(step);
  return err;
}

// One freeze's steps for run_chunk_loop: the device fills the staging
// buffers, the host checksums each chunk and writes it out.
class FreezeRun {
 public:
  using Error = FreezeError;
  static constexpr ChunkFill kFill = ChunkFill::Device;
  static constexpr bool kChecksums = true;

  FreezeRun(const PipelinedBackend& backend, Staging& staging, const FreezeLayout& layout, std::uint64_t chunk_size,
            const DirectFile& direct_file, const DirectFile& buffered_file, IoPieces pieces,
            const std::string& file_path, const DeviceAllocations* allocations)
      : backend_(backend),
        staging_(staging),
        layout_(layout),
        range_{0, layout.total_file_size, chunk_size},
        direct_file_(direct_file),
        buffered_file_(buffered_file),
        direct_pieces_(write_pieces_for(direct_file, pieces)),
        buffered_pieces_(write_pieces_for(buffered_file, pieces)),
        file_path_(file_path),
        runs_(freeze_copy_runs(layout.plan, allocations)),
        crcs_(layout.plan.size(), 0) {}

  std::uint64_t num_chunks() const { return range_.num_chunks(); }
  std::span<const std::uint32_t> crcs() const { return crcs_; }

  // Prelude bytes by host copy, payload pieces by queued device copies
  // (one per run of regions contiguous on the device). Chunks come in file
  // order.
  std::expected<void, FreezeError> queue(std::uint64_t k) {
    PinnedBuffer& buf = staging_.buffer(k);
    const std::uint64_t start = range_.chunk_start(k);
    const std::uint64_t end = range_.chunk_end(k);
    const auto& prelude = layout_.prelude_bytes;
    if (start < prelude.size())
      std::memcpy(buf.data(), prelude.data() + start, std::min<std::uint64_t>(end, prelude.size()) - start);
    if (auto r = dump_chunk(backend_, buf, staging_.stream(k), start, end, runs_, dump_cursor_); !r)
      return std::unexpected(backend_err<FreezeError>(r.error()));
    return {};
  }

  // A whole chunk at its aligned offset, in pieces written side by side;
  // the zero padding of a short final chunk is cut off by the truncation at
  // the end. The padding lies past the chunk's bytes, which the checksums
  // read meanwhile.
  std::expected<void, FreezeError> host(std::uint64_t k) {
    PinnedBuffer& buf = staging_.buffer(k);
    const std::uint64_t start = range_.chunk_start(k);
    const std::uint64_t len = range_.chunk_len(k);
    const std::uint64_t aligned = round_up_4096(len);
    IoResult<void> r;
    if (direct_file_.direct && aligned <= range_.chunk_size) {
      std::memset(buf.data() + len, 0, aligned - len);
      r = pwrite_pieces(direct_file_, buf.as_slice().first(aligned), start, direct_pieces_);
      // EINVAL: this file system took the O_DIRECT open but not this write.
      if (!r && r.error().kind() == IoErrorKind::InvalidInput)
        r = pwrite_pieces(buffered_file_, buf.as_slice().first(len), start, buffered_pieces_);
    } else {
      r = pwrite_pieces(buffered_file_, buf.as_slice().first(len), start, buffered_pieces_);
    }
    if (!r) return std::unexpected(io_step_err(r.error(), "writing at offset " + std::to_string(start) + " of " +
                                                              file_path_));
    return {};
  }

  // The checksums hide behind the disk: they run while the chunk is written.
  std::expected<void, FreezeError> check(std::uint64_t k) {
    const std::uint64_t start = range_.chunk_start(k);
    accumulate_freeze_crcs(staging_.buffer(k), start, range_.chunk_end(k), start, layout_.plan, crcs_, crc_cursor_);
    return {};
  }

  [[noreturn]] void check_failed(std::exception_ptr failure) { std::rethrow_exception(failure); }

 private:
  const PipelinedBackend& backend_;
  Staging& staging_;
  const FreezeLayout& layout_;
  ChunkRange range_;
  const DirectFile& direct_file_;
  const DirectFile& buffered_file_;
  IoPieces direct_pieces_;
  IoPieces buffered_pieces_;
  const std::string& file_path_;
  std::vector<CopyRun> runs_;
  std::vector<std::uint32_t> crcs_;
  ChunkCursor dump_cursor_;  // used by the calling thread only
  ChunkCursor crc_cursor_;   // used by one check at a time
};

// The directory that holds `path`: the current one for a bare file name,
// whose entry needs syncing as much as any other.
std::string parent_dir(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A replacement keeps the permission bits of the file it replaces (a
// snapshot kept private stays private); a new file keeps those the umask
// gave it. A file system without permissions of its own (refusing chmod
// of a file this call created and owns) is left as it is.
IoResult<void> keep_replaced_permissions(const DirectFile& tmp_file, const std::string& final_path) {
  struct stat replaced {};
  if (::stat(final_path.c_str(), &replaced) != 0) {
    if (errno == ENOENT) return {};
    return std::unexpected(IoError::from_errno(errno));
  }
  struct stat created {};
  if (::fstat(tmp_file.file.get(), &created) != 0) return std::unexpected(IoError::from_errno(errno));
  const mode_t wanted = replaced.st_mode & 0777;
  if (!S_ISREG(replaced.st_mode) || (created.st_mode & 0777) == wanted) return {};
  if (::fchmod(tmp_file.file.get(), wanted) == 0) return {};
  if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) return {};
  return std::unexpected(IoError::from_errno(errno));
}

// The largest length a file can have (off_t is signed 64-bit).
constexpr std::uint64_t kMaxFileLength = static_cast<std::uint64_t>(INT64_MAX);

FreezeError layout_overflow() { return snapshot_err<FreezeError>(SnapshotError{SnapshotError::OffsetOverflow{}}); }

// The unfinished file's descriptors and names, for the steps that end it.
struct FreezeFiles {
  const DirectFile& created;
  const DirectFile& direct;
  const DirectFile& buffered;
  const std::string& tmp_path;
  const std::string& final_path;
};

// Everything between the last chunk and the rename: the table with the
// checksums, the exact length, the replaced file's permissions, and the
// sync that makes all of it durable before the name is given.
std::expected<void, FreezeError> finish_file(const FreezeFiles& f, const FreezeLayout& layout,
                                             std::span<const std::uint32_t> crcs) {
  const auto table_bytes = region_table_bytes_with_crcs(layout.plan, crcs);
  if (auto r = pwrite_exact(f.buffered, std::as_bytes(std::span(table_bytes)), HEADER_SIZE); !r)
    return std::unexpected(
        io_step_err(r.error(), "writing at offset " + std::to_string(HEADER_SIZE) + " of " + f.tmp_path));
  if (auto r = truncate(f.direct, layout.total_file_size); !r)
    return std::unexpected(io_step_err(
        r.error(), "truncating " + f.tmp_path + " to " + std::to_string(layout.total_file_size) + " bytes"));
  if (auto r = keep_replaced_permissions(f.created, f.final_path); !r)
    return std::unexpected(
        io_step_err(r.error(), "copying the permissions of " + f.final_path + " to " + f.tmp_path));
  if (auto r = fsync_file(f.direct); !r) return std::unexpected(io_step_err(r.error(), "syncing " + f.tmp_path));
  return {};
}

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

std::string tmp_path_for(const std::string& path) { return path + kTmpSuffix; }

IoResult<void> commit_tmp_to_final(const std::string& tmp_path, const std::string& final_path) {
  if (::rename(tmp_path.c_str(), final_path.c_str()) != 0) return std::unexpected(IoError::from_errno(errno));
  // The rename is done; a directory that cannot be synced does not undo it.
  (void)fsync_dir(parent_dir(final_path));
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
  if (!created) return std::unexpected(io_step_err(created.error(), "creating " + tmp_path));
  TmpFileGuard guard = TmpFileGuard::arm(*std::move(created));
  const DirectFile& tmp_file = guard.owned().file();

  auto direct_file = reopen_direct(tmp_file, O_WRONLY, config.try_direct_io);
  if (!direct_file) return std::unexpected(io_step_err(direct_file.error(), "opening " + tmp_path));
  auto buffered_file = reopen_direct(tmp_file, O_WRONLY, false);
  if (!buffered_file) return std::unexpected(io_step_err(buffered_file.error(), "opening " + tmp_path));

  const std::uint64_t chunk_size = config.chunk_size;
  if (!chunk_size_is_valid(chunk_size))
    return std::unexpected(FreezeError{FreezeError::InvalidConfig{invalid_chunk_size_message(chunk_size)}});

  std::uint64_t total_bytes = 0;
  for (const auto& p : layout.plan) total_bytes += p.size;

  auto staging = Staging::create(backend, StagingMemory::Pinned, chunk_size);
  if (!staging) return std::unexpected(backend_err<FreezeError>(staging.error()));
  FreezeRun run(backend, *staging, layout, chunk_size, *direct_file, *buffered_file, config.io_pieces, tmp_path,
                config.allocations);
  if (auto r = run_chunk_loop(run.num_chunks(), staging->streams(), run); !r) return std::unexpected(r.error());

  const FreezeFiles files{tmp_file, *direct_file, *buffered_file, tmp_path, path};
  if (auto r = finish_file(files, layout, run.crcs()); !r) return std::unexpected(r.error());
  direct_file->file.reset();
  buffered_file->file.reset();

  if (auto r = guard.owned().check_still_named(); !r)
    return std::unexpected(io_step_err(r.error(), "checking that this freeze still owns " + tmp_path));
  if (auto r = commit_tmp_to_final(tmp_path, path); !r)
    return std::unexpected(io_step_err(r.error(), "renaming " + tmp_path + " to " + path));
  guard.disarm();

  // The snapshot is in place; a stream that cannot be destroyed still
  // fails the call, and the buffers are then freed rather than cached.
  if (auto r = staging->commit(); !r) return std::unexpected(backend_err<FreezeError>(r.error()));
  return FreezeStats{layout.plan.size(), total_bytes};
}

}  // namespace vesk
