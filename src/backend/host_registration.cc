#include "backend/host_registration.h"

#include "cuda/runtime.h"

namespace vesk {

HostRegistration& HostRegistration::operator=(HostRegistration&& other) noexcept {
  if (this != &other) {
    release();
    ptr_ = other.ptr_;
    size_ = other.size_;
    is_real_ = std::exchange(other.is_real_, false);
  }
  return *this;
}

HostRegistration::~HostRegistration() { release(); }

void HostRegistration::release() noexcept {
  // An empty range was never registered, and a moved-from one now belongs
  // to its new owner; neither may unregister.
  if (!is_real_) return;
  // A refusal is dropped, and so is the error it recorded for the thread.
  if (cuda().cudaHostUnregister(ptr_) != cudaSuccess) (void)cuda().cudaGetLastError();
  is_real_ = false;
}

}  // namespace vesk
