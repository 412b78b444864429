#include "pipeline/staging_buffers.h"

#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

namespace vesk {

namespace {

bool switch_enabled(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return false;
  const std::string_view v(value);
  return v == "1" || v == "true" || v == "yes" || v == "on";
}

struct CachedPair {
  std::size_t chunk_size;
  BufferPair bufs;
};

enum class SlotId { Pinned, Wc };

// One thread's cache slot. The slot object itself has a destructor (it owns
// page-locked memory), so once the thread has started tearing it down it must
// not be touched again; the trivially destructible `destroyed` flag stays
// readable until the thread is gone and tells late callers (destructors of
// other thread-locals) to bypass the cache.
template <SlotId Id>
class Slot {
 public:
  // Null once this thread's slot has been destroyed.
  static std::optional<CachedPair>* get() {
    if (destroyed) return nullptr;
    // Constructed on first use in each thread, which registers the exit hook.
    thread_local Slot slot;
    return &slot.cached_;
  }

  ~Slot() {
    destroyed = true;
    cached_.reset();
  }

 private:
  static inline thread_local bool destroyed = false;
  std::optional<CachedPair> cached_;
};

using AllocFn = BackendResult<PinnedBuffer> (CudaBackend::*)(std::size_t) const;

template <SlotId Id>
BackendResult<BufferPair> acquire(const CudaBackend& backend, std::size_t chunk_size, AllocFn alloc) {
  if (!wc_cache_disabled()) {
    if (auto* slot = Slot<Id>::get()) {
      std::optional<CachedPair> taken = std::exchange(*slot, std::nullopt);
      if (taken && taken->chunk_size == chunk_size) return std::move(taken->bufs);
      // A pair of another size is freed here, before the new pair is
      // allocated, so the two never coexist.
    }
  }
  auto a = (backend.*alloc)(chunk_size);
  if (!a) return std::unexpected(std::move(a.error()));
  auto b = (backend.*alloc)(chunk_size);
  if (!b) return std::unexpected(std::move(b.error()));  // `a` is freed on return
  return BufferPair{std::move(*a), std::move(*b)};
}

template <SlotId Id>
void release(BufferPair bufs, std::size_t chunk_size) {
  if (wc_cache_disabled()) return;  // `bufs` is freed on return
  // A pair that is not of the size it is filed under would be handed out to
  // a later transfer that trusts its length; drop it instead of caching it.
  if (bufs[0].size() != chunk_size || bufs[1].size() != chunk_size) return;
  auto* slot = Slot<Id>::get();
  if (slot == nullptr) return;
  // Keep a pair already there; the released one is freed on return.
  if (!slot->has_value()) *slot = CachedPair{chunk_size, std::move(bufs)};
}

}  // namespace

bool wc_cache_disabled() { return switch_enabled("VESK_DISABLE_WC_CACHE"); }

bool freeze_use_wc() { return switch_enabled("VESK_FREEZE_USE_WC"); }

BackendResult<BufferPair> acquire_pinned_bufs(const CudaBackend& backend, std::size_t chunk_size) {
  if (freeze_use_wc()) return acquire_wc_bufs(backend, chunk_size);
  return acquire<SlotId::Pinned>(backend, chunk_size, &CudaBackend::alloc_pinned);
}

void release_pinned_bufs(BufferPair bufs, std::size_t chunk_size) {
  if (freeze_use_wc()) {
    release_wc_bufs(std::move(bufs), chunk_size);
    return;
  }
  release<SlotId::Pinned>(std::move(bufs), chunk_size);
}

BackendResult<BufferPair> acquire_wc_bufs(const CudaBackend& backend, std::size_t chunk_size) {
  return acquire<SlotId::Wc>(backend, chunk_size, &CudaBackend::alloc_pinned_wc);
}

void release_wc_bufs(BufferPair bufs, std::size_t chunk_size) { release<SlotId::Wc>(std::move(bufs), chunk_size); }

BackendResult<Staging> Staging::create(const Backend& backend, StagingMemory memory, std::size_t chunk_size) {
  auto bufs = memory == StagingMemory::Pinned ? acquire_pinned_bufs(backend, chunk_size)
                                              : acquire_wc_bufs(backend, chunk_size);
  if (!bufs) return std::unexpected(std::move(bufs.error()));
  auto streams = StreamPair::create(backend);
  if (!streams) return std::unexpected(std::move(streams.error()));  // the buffers are freed on return
  return Staging(memory, chunk_size, std::move(*bufs), std::move(*streams));
}

BackendResult<void> Staging::commit() {
  if (auto r = streams_.destroy(); !r) return r;
  if (memory_ == StagingMemory::Pinned) release_pinned_bufs(std::move(bufs_), chunk_size_);
  else release_wc_bufs(std::move(bufs_), chunk_size_);
  return {};
}

}  // namespace vesk
