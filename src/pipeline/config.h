// Restore configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pipeline/io_pieces.h"

namespace vesk {

class DeviceAllocations;

struct PipelineConfig {
  std::uint64_t chunk_size = 64u << 20;
  bool try_direct_io = true;
  // How each chunk's file read is split into requests in flight together.
  IoPieces io_pieces = kReadIoPieces;
  // false: a restore skips the region checksums (VESK_VERIFY=0 does too).
  bool verify_checksums = true;
  // The allocations that hold the regions (the device check's), which
  // bound merged copies; null: no two regions' copies are merged.
  const DeviceAllocations* allocations = nullptr;
};

// True when the chunk size is a positive multiple of 4096.
bool chunk_size_is_valid(std::uint64_t chunk_size);
std::string invalid_chunk_size_message(std::uint64_t chunk_size);

}  // namespace vesk
