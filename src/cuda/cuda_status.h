// A CUDA runtime status code as returned; 0 is success.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace vesk {

struct CudaStatus {
  std::int32_t code = 0;

  std::expected<void, CudaStatus> ok() const {
    if (code == 0) return {};
    return std::unexpected(*this);
  }
  // "CudaStatus(N)".
  std::string to_string() const { return "CudaStatus(" + std::to_string(code) + ")"; }
  bool operator==(const CudaStatus&) const = default;
};

}  // namespace vesk
