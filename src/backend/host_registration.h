// A range of caller-owned host memory page-locked with the runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vesk {

class HostRegistration {
 public:
  HostRegistration(std::uint8_t* ptr, std::size_t size, bool is_real) : ptr_(ptr), size_(size), is_real_(is_real) {}
  HostRegistration(HostRegistration&& other) noexcept
      : ptr_(other.ptr_), size_(other.size_), is_real_(std::exchange(other.is_real_, false)) {}
  HostRegistration& operator=(HostRegistration&& other) noexcept;
  HostRegistration(const HostRegistration&) = delete;
  HostRegistration& operator=(const HostRegistration&) = delete;
  // cudaHostUnregister once when real; a refusal is dropped with its
  // recorded error.
  ~HostRegistration();

  std::uint8_t* ptr() const { return ptr_; }
  std::size_t size() const { return size_; }
  bool is_real() const { return is_real_; }

 private:
  void release() noexcept;
  std::uint8_t* ptr_;
  std::size_t size_;
  bool is_real_;
};

}  // namespace vesk
