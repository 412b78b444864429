// The one device backend that every module function uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "backend/real_cuda.h"
#include "cuda/runtime.h"

namespace vesk::py {

// Binds the CUDA runtime at the first call that needs the device, not at
// import: `import vesk` and the command line's host-only tools (inspect,
// verify) then work where there is no runtime or no driver. False with
// ImportError set, and the runtime search's message, where nothing binds:
// the error an import raised before binding was deferred.
inline bool bind_cuda_runtime() {
  auto runtime = load_cuda_runtime();
  if (runtime) return true;
  PyErr_SetString(PyExc_ImportError, runtime.error().c_str());
  return false;
}

// Precondition: bind_cuda_runtime succeeded.
inline const RealCuda& cuda_backend() {
  static const RealCuda backend;
  return backend;
}

}  // namespace vesk::py
