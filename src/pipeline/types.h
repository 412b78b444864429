// Requests, plans, statistics and errors of the freeze and restore pipelines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "backend/backend_error.h"
#include "backend/types.h"
#include "format/header.h"
#include "format/region.h"
#include "format/snapshot.h"
#include "pipeline/io_pieces.h"

namespace vesk {

struct FreezeRequest {
  RegionKind kind;
  std::uint32_t logical_id;
  DeviceRegion device_region;
};

class DeviceAllocations;

struct FreezeConfig {
  std::optional<VllmCommit> vllm_commit;
  std::size_t chunk_size = 64u << 20;
  bool try_direct_io = true;
  // How each chunk's file write is split into requests in flight together.
  IoPieces io_pieces = kWriteIoPieces;
  // As PipelineConfig::allocations.
  const DeviceAllocations* allocations = nullptr;
};

struct FreezePlan {
  RegionKind kind;
  std::uint32_t logical_id;
  std::uint64_t file_offset;
  std::uint64_t size;
  DeviceRegion device_region;
};

struct FreezeStats {
  std::size_t regions_frozen = 0;
  std::uint64_t bytes_copied = 0;
};

struct FreezeError {
  struct Backend {
    BackendError inner;
  };
  struct Snapshot {
    SnapshotError inner;
  };
  struct InvalidConfig {
    std::string message;
  };
  // Two requests with one (kind, logical id).
  struct DuplicateRegion {
    RegionKind kind;
    std::uint32_t logical_id;
  };
  std::variant<Backend, Snapshot, InvalidConfig, DuplicateRegion> v;
  // For a file-system failure: the step that failed and its file ("writing
  // at offset 4096 of /x/a.vesk.vesk-incomplete"), shown beside the
  // message, which stays the I/O error's own. Empty otherwise.
  std::string failed_step;

  std::string message() const;
};

struct CopyEntry {
  RegionKind kind;
  std::uint32_t logical_id;
  std::uint64_t file_offset;
  std::uint64_t size;
  DeviceRegion device_region;
  std::uint32_t expected_crc32c;
};

struct RestoreStats {
  std::size_t regions_restored = 0;
  std::uint64_t bytes_copied = 0;
  bool operator==(const RestoreStats&) const = default;
};

struct RestoreError {
  struct Snapshot {
    SnapshotError inner;
  };
  struct Backend {
    BackendError inner;
  };
  struct UnmappedRegion {
    RegionKind kind;
    std::uint32_t logical_id;
  };
  struct DeviceSizeMismatch {
    RegionKind kind;
    std::uint32_t logical_id;
    std::uint64_t file_size;
    std::uint64_t device_size;
  };
  struct PayloadOutOfBounds {
    std::size_t file_size;
    std::size_t payload_end;
  };
  struct ChecksumMismatch {
    RegionKind kind;
    std::uint32_t logical_id;
    std::uint32_t expected;
    std::uint32_t actual;
  };
  struct InvalidConfig {
    std::string message;
  };
  std::variant<Snapshot, Backend, UnmappedRegion, DeviceSizeMismatch, PayloadOutOfBounds, ChecksumMismatch,
               InvalidConfig>
      v;

  std::string message() const;
};

// The caller's lookup from (kind, logical id) to its device region.
using RegionResolver = std::function<std::optional<DeviceRegion>(RegionKind, std::uint32_t)>;

// An internal failure that abandons an operation ("crc worker panic",
// "CRC worker panicked"). The only exception type below the Python layer.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

}  // namespace vesk
