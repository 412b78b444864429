// The one device backend that every module function uses.
#pragma once

#include "backend/real_cuda.h"

namespace vesk::py {

inline const RealCuda& cuda_backend() {
  static const RealCuda backend;
  return backend;
}

}  // namespace vesk::py
