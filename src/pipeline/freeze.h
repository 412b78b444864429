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
#include "io/owned_temp_file.h"
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

std::string tmp_path_for(const std::string& path);
IoResult<void> commit_tmp_to_final(const std::string& tmp_path, const std::string& final_path);

// Removes the unfinished file on destruction unless disarmed. Armed with
// an OwnedTempFile, it removes the name only while it still leads to that
// file, and only then gives up the file's lock.
class TmpFileGuard {
 public:
  static TmpFileGuard arm(std::string path) { return TmpFileGuard(std::move(path), std::nullopt); }
  static TmpFileGuard arm(OwnedTempFile file) {
    std::string path = file.path();
    return TmpFileGuard(std::move(path), std::move(file));
  }
  TmpFileGuard(TmpFileGuard&& other) noexcept : path_(std::move(other.path_)), owned_(std::move(other.owned_)) {
    other.path_.reset();
    other.owned_.reset();
  }
  TmpFileGuard& operator=(TmpFileGuard&&) = delete;
  TmpFileGuard(const TmpFileGuard&) = delete;
  ~TmpFileGuard();
  void disarm() { path_.reset(); }
  // Only for a guard armed with an OwnedTempFile.
  const OwnedTempFile& owned() const { return *owned_; }

 private:
  TmpFileGuard(std::string path, std::optional<OwnedTempFile> owned)
      : path_(std::move(path)), owned_(std::move(owned)) {}
  std::optional<std::string> path_;
  std::optional<OwnedTempFile> owned_;
};

std::expected<FreezeStats, FreezeError> freeze_pipelined_to_file(const Backend& backend,
                                                                 std::span<const FreezeRequest> requests,
                                                                 const FreezeConfig& config, const std::string& path);

}  // namespace vesk
