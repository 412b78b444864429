// Errors of the device backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "cuda/cuda_status.h"

namespace vesk {

struct BackendError {
  struct AllocationFailed {
    std::size_t bytes;
  };
  struct SizeMismatch {
    std::uint64_t region;
    std::size_t host;
  };
  struct Cuda {
    CudaStatus status;
    const char* op;  // one of the fixed labels of backend/real_cuda.h
  };
  std::variant<AllocationFailed, SizeMismatch, Cuda> v;

  std::string message() const;
};

}  // namespace vesk
