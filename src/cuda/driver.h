// The CUDA driver calls, reached through the bound runtime's driver
// entry-point lookup rather than by loading libcuda: the functions are
// those of the driver the runtime itself uses, and nothing is linked.
#pragma once

#include "cuda/driver_api.h"

namespace vesk {

struct CudaDriver {
  cuPointerGetAttributes_fn cuPointerGetAttributes = nullptr;
  cuCtxGetCurrent_fn cuCtxGetCurrent = nullptr;
  cuCtxSetCurrent_fn cuCtxSetCurrent = nullptr;
};

// The driver calls, looked up once through the bound runtime
// (cudaGetDriverEntryPointByVersion where the runtime has it, else
// cudaGetDriverEntryPoint); null when the runtime offers no lookup or the
// driver lacks one of them. Precondition: the runtime is bound.
const CudaDriver* cuda_driver();

// Makes cuda_driver() answer null while set, so that tests reach the
// paths of a runtime without the lookup.
void set_driver_unreachable_for_testing(bool unreachable);

}  // namespace vesk
