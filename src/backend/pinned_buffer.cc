#include "backend/pinned_buffer.h"

#include "cuda/runtime.h"

namespace vesk {

PinnedBuffer& PinnedBuffer::operator=(PinnedBuffer&& other) noexcept {
  if (this != &other) {
    release();
    ptr_ = std::exchange(other.ptr_, nullptr);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

PinnedBuffer::~PinnedBuffer() { release(); }

void PinnedBuffer::release() noexcept {
  if (ptr_ == nullptr) return;  // moved from: the new owner frees it
  // Destruction cannot report anything; a refused free only leaks.
  (void)cuda().cudaFreeHost(ptr_);
  ptr_ = nullptr;
  len_ = 0;
}

}  // namespace vesk
