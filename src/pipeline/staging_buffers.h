// The staging memory of one chunked transfer: two page-locked buffers and
// the two streams whose copies use them, and the per-thread caches that
// keep a pair of buffers from one call to the next (allocating page-locked
// memory costs far more than a chunk's transfer).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "backend/backend.h"
#include "pipeline/stream_pair.h"

namespace vesk {

using BufferPair = std::array<PinnedBuffer, 2>;

// "1", "true", "yes", "on" enable a switch; read at every call.
bool wc_cache_disabled();  // VESK_DISABLE_WC_CACHE
bool freeze_use_wc();      // VESK_FREEZE_USE_WC

// This thread's cached pair when it is of `chunk_size` (one of another size
// is freed first), else a new one. Released pairs are cached unless the
// cache is switched off, one per thread and kind.
BackendResult<BufferPair> acquire_pinned_bufs(const CudaBackend& backend, std::size_t chunk_size);
void release_pinned_bufs(BufferPair bufs, std::size_t chunk_size);
BackendResult<BufferPair> acquire_wc_bufs(const CudaBackend& backend, std::size_t chunk_size);
void release_wc_bufs(BufferPair bufs, std::size_t chunk_size);

enum class StagingMemory {
  Pinned,         // write-combined instead where VESK_FREEZE_USE_WC is on
  WriteCombined,  // fast for the host to write, slow for it to read
};

// Chunk k of a transfer uses buffer k % 2 and stream k % 2. Only a call
// that commits hands its buffers back to this thread's cache; on every
// other path the streams are drained and destroyed, then the buffers
// freed: after a failed wait nothing proves that no copy still uses them,
// so they are never handed to a later call.
class Staging {
 public:
  // The buffers, then the streams.
  static BackendResult<Staging> create(const Backend& backend, StagingMemory memory, std::size_t chunk_size);

  PinnedBuffer& buffer(std::uint64_t chunk) { return bufs_[chunk % 2]; }
  const StreamHandle& stream(std::uint64_t chunk) const { return streams_[chunk % 2]; }
  const StreamPair& streams() const { return streams_; }

  // Destroys the streams and, where that succeeds, hands the buffers back
  // to the cache; a stream that cannot be destroyed fails the call and the
  // buffers are then freed rather than cached.
  BackendResult<void> commit();

 private:
  Staging(StagingMemory memory, std::size_t chunk_size, BufferPair bufs, StreamPair streams)
      : memory_(memory), chunk_size_(chunk_size), bufs_(std::move(bufs)), streams_(std::move(streams)) {}

  StagingMemory memory_;
  std::size_t chunk_size_;
  // Members are destroyed in reverse: the streams are drained before the
  // buffers their copies use are freed.
  BufferPair bufs_;
  StreamPair streams_;
};

}  // namespace vesk
