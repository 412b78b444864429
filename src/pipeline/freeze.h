// Device regions into a snapshot file: two staging buffers, two streams,
// each chunk written in pieces side by side (pipeline/parallel_file_io.h),
// under a temporary name and renamed over the target when complete.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "backend/backend.h"
#include "io/io_error.h"
#include "pipeline/types.h"

namespace vesk {

inline constexpr const char* kTmpSuffix = ".vesk-incomplete";

struct FreezeLayout {
  std::vector<FreezePlan> plan;
  std::vector<std::uint8_t> prelude_bytes;
  std::uint64_t total_file_size;
};

std::expected<FreezeLayout, FreezeError> build_freeze_plan(std::span<const FreezeRequest> requests,
                                                           const FreezeConfig& config);
// Queues the device-to-host copies of the region pieces that fall into file
// bytes [chunk_start, chunk_end), each at its offset from the chunk start.
// The first refused copy ends the loop; copies queued before stay queued.
BackendResult<void> launch_dumps(const PipelinedBackend& backend, PinnedBuffer& buf, const StreamHandle& stream,
                                 std::uint64_t chunk_start, std::uint64_t chunk_end,
                                 std::span<const FreezePlan> plan);

std::string tmp_path_for(const std::string& path);
IoResult<void> commit_tmp_to_final(const std::string& tmp_path, const std::string& final_path);

// Removes the unfinished file on destruction unless disarmed.
class TmpFileGuard {
 public:
  static TmpFileGuard arm(std::string path) { return TmpFileGuard(std::move(path)); }
  TmpFileGuard(TmpFileGuard&& other) noexcept : path_(std::move(other.path_)) { other.path_.reset(); }
  TmpFileGuard& operator=(TmpFileGuard&&) = delete;
  TmpFileGuard(const TmpFileGuard&) = delete;
  ~TmpFileGuard();
  void disarm() { path_.reset(); }

 private:
  explicit TmpFileGuard(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> path_;
};

std::expected<FreezeStats, FreezeError> freeze_pipelined_to_file(const Backend& backend,
                                                                 std::span<const FreezeRequest> requests,
                                                                 const FreezeConfig& config, const std::string& path);

}  // namespace vesk
