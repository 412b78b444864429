// Page-locked host memory from the runtime's allocator, owned exclusively.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace vesk {

class PinnedBuffer {
 public:
  // Takes ownership of `len` bytes at `ptr` from cudaMallocHost/cudaHostAlloc.
  PinnedBuffer(void* ptr, std::size_t len) : base_(ptr), ptr_(ptr), len_(len) {}
  // Takes ownership of the allocation at `base`, of which the buffer is the
  // `len` bytes at `ptr` (an aligned interior).
  PinnedBuffer(void* base, void* ptr, std::size_t len) : base_(base), ptr_(ptr), len_(len) {}
  PinnedBuffer(PinnedBuffer&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        ptr_(std::exchange(other.ptr_, nullptr)),
        len_(std::exchange(other.len_, 0)) {}
  PinnedBuffer& operator=(PinnedBuffer&& other) noexcept;
  PinnedBuffer(const PinnedBuffer&) = delete;
  PinnedBuffer& operator=(const PinnedBuffer&) = delete;
  // cudaFreeHost once on the allocation; a refusal only clears the error
  // that the runtime recorded for the thread.
  ~PinnedBuffer();

  std::span<const std::byte> as_slice() const { return {static_cast<const std::byte*>(ptr_), len_}; }
  std::span<std::byte> as_mut_slice() { return {static_cast<std::byte*>(ptr_), len_}; }
  std::byte* data() { return static_cast<std::byte*>(ptr_); }
  const std::byte* data() const { return static_cast<const std::byte*>(ptr_); }
  std::size_t size() const { return len_; }

 private:
  void release() noexcept;
  void* base_;
  void* ptr_;
  std::size_t len_;
};

}  // namespace vesk
