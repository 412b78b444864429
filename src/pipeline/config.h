// Restore configuration and the per-thread caches of staging-buffer pairs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/backend.h"
#include "pipeline/io_pieces.h"

namespace vesk {

struct PipelineConfig {
  std::uint64_t chunk_size = 64u << 20;
  bool try_direct_io = true;
  // How each chunk's file read is split into requests in flight together.
  IoPieces io_pieces = kReadIoPieces;
};

using BufferPair = std::array<PinnedBuffer, 2>;

// "1", "true", "yes", "on" enable a switch; read at every call.
bool wc_cache_disabled();  // VESK_DISABLE_WC_CACHE
bool freeze_use_wc();      // VESK_FREEZE_USE_WC

BackendResult<BufferPair> acquire_pinned_bufs(const CudaBackend& backend, std::size_t chunk_size);
void release_pinned_bufs(BufferPair bufs, std::size_t chunk_size);
BackendResult<BufferPair> acquire_wc_bufs(const CudaBackend& backend, std::size_t chunk_size);
void release_wc_bufs(BufferPair bufs, std::size_t chunk_size);

// True when the chunk size is a positive multiple of 4096.
bool chunk_size_is_valid(std::uint64_t chunk_size);
std::string invalid_chunk_size_message(std::uint64_t chunk_size);

}  // namespace vesk
