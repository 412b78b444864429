// Finding and binding the CUDA runtime library at run time.
//
// Search order: the folder `vesk_native.libs` beside the folder that holds
// the binary containing this code ($ORIGIN/../vesk_native.libs), then
// $ORIGIN/../nvidia/cuda_runtime/lib (the runtime that the package
// nvidia-cuda-runtime-cu12 installs), for libcudart.so.13 also
// $ORIGIN/../nvidia/cu13/lib (where the CUDA 13 runtime wheels put it), then
// the system's default search path. libcudart.so.12 is preferred in every
// place before libcudart.so.13 is tried.
//
// Before that search, a candidate that the process has already loaded (a
// serving framework's own runtime) is bound instead: a second copy would be
// a separate runtime instance, with its own recorded errors and devices.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "cuda/runtime_api.h"

namespace vesk {

struct CudaRuntime {
  cudaMallocHost_fn cudaMallocHost = nullptr;
  cudaHostAlloc_fn cudaHostAlloc = nullptr;
  cudaFreeHost_fn cudaFreeHost = nullptr;
  cudaMalloc_fn cudaMalloc = nullptr;
  cudaFree_fn cudaFree = nullptr;
  cudaMemcpy_fn cudaMemcpy = nullptr;
  cudaDeviceSynchronize_fn cudaDeviceSynchronize = nullptr;
  cudaHostRegister_fn cudaHostRegister = nullptr;
  cudaHostUnregister_fn cudaHostUnregister = nullptr;
  cudaGetLastError_fn cudaGetLastError = nullptr;
  cudaStreamCreate_fn cudaStreamCreate = nullptr;
  cudaStreamDestroy_fn cudaStreamDestroy = nullptr;
  cudaStreamSynchronize_fn cudaStreamSynchronize = nullptr;
  cudaMemcpyAsync_fn cudaMemcpyAsync = nullptr;
  cudaPointerGetAttributes_fn cudaPointerGetAttributes = nullptr;
  cudaGetDevice_fn cudaGetDevice = nullptr;
  cudaSetDevice_fn cudaSetDevice = nullptr;
  cudaGetDeviceCount_fn cudaGetDeviceCount = nullptr;
  // Optional (null when the library does not export them).
  cudaRuntimeGetVersion_fn cudaRuntimeGetVersion = nullptr;
  cudaGetDriverEntryPointByVersion_fn cudaGetDriverEntryPointByVersion = nullptr;
  cudaGetDriverEntryPoint_fn cudaGetDriverEntryPoint = nullptr;
  std::string loaded_from;  // path of the library that was bound
};

// The candidate file names, in search order, for the default search; only
// the library named by the environment variable VESK_CUDA_RUNTIME (a path
// or a file name) when that is set and not empty.
std::vector<std::string> default_runtime_candidates();

// Binds the first candidate already loaded in the process (same order),
// else the first candidate that loads; either must export every call. Idempotent:
// once bound, later calls return the bound runtime. On failure the message
// names every place that was tried.
std::expected<const CudaRuntime*, std::string> load_cuda_runtime(const std::vector<std::string>& candidates);
std::expected<const CudaRuntime*, std::string> load_cuda_runtime();

// Opens the first candidate that is already loaded, else the first that
// loads, and that exports every call, without binding it; load_cuda_runtime is this plus the one-time binding. On failure
// the message is "cannot load the CUDA runtime; tried: " followed by each
// place as "{path} ({reason})", separated by "; ".
std::expected<CudaRuntime, std::string> open_cuda_runtime(const std::vector<std::string>& candidates);

// The bound runtime. Precondition: a load succeeded (the Python module
// binds it at its first call that needs the device; tests at start-up).
const CudaRuntime& cuda();

}  // namespace vesk
