#include "backend/pinned_buffer.h"

#include "cuda/runtime.h"

namespace vesk {

PinnedBuffer& PinnedBuffer::operator=(PinnedBuffer&& other) noexcept {
  if (this != &other) {
    release();
    base_ = std::exchange(other.base_, nullptr);
    ptr_ = std::exchange(other.ptr_, nullptr);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

PinnedBuffer::~PinnedBuffer() { release(); }

void PinnedBuffer::release() noexcept {
  if (base_ == nullptr) return;  // moved from: the new owner frees it
  // Destruction cannot report anything; a refused free only leaks, and its
  // recorded error must not surface in the caller's later runtime calls.
  if (cuda().cudaFreeHost(base_) != cudaSuccess) (void)cuda().cudaGetLastError();
  base_ = nullptr;
  ptr_ = nullptr;
  len_ = 0;
}

}  // namespace vesk
