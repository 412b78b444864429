// C signatures of the CUDA runtime calls this module makes, valid for
// libcudart.so.12 and libcudart.so.13 alike: every call keeps its CUDA 12
// signature in CUDA 13, and the one structure the runtime fills in is
// declared in its larger CUDA 13 layout (see below). Building needs no
// CUDA toolkit; where the CUDA 13 headers are installed, the build checks
// these declarations against them (cuda/abi_check.cc).
#pragma once

#include <cstddef>

extern "C" {

typedef int cudaError_t;
typedef struct CUstream_st* cudaStream_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
};

inline constexpr unsigned int cudaHostAllocWriteCombined = 4;
inline constexpr unsigned int cudaHostRegisterDefault = 0;
// Registration of memory the process may only read (required for it on x86).
inline constexpr unsigned int cudaHostRegisterReadOnly = 8;
inline constexpr cudaError_t cudaSuccess = 0;
inline constexpr cudaError_t cudaErrorInvalidValue = 1;
inline constexpr cudaError_t cudaErrorMemoryAllocation = 2;

enum cudaMemoryType {
  cudaMemoryTypeUnregistered = 0,
  cudaMemoryTypeHost = 1,
  cudaMemoryTypeDevice = 2,
  cudaMemoryTypeManaged = 3,
};

// CUDA 13 appended `long reserved[8]` (88 bytes in all, 24 before), and
// libcudart.so.13 writes the whole of it. A CUDA 12 runtime fills only the
// first 24 bytes, the same fields at the same offsets, so the larger
// layout is right for either major version; the smaller one would let a
// CUDA 13 runtime write past the caller's object.
struct cudaPointerAttributes {
  enum cudaMemoryType type;
  int device;
  void* devicePointer;
  void* hostPointer;
  long reserved[8];
};

// How the driver's entry points are looked up (cudaEnableDefault), and
// what the lookup reports beside the status.
inline constexpr unsigned long long cudaEnableDefault = 0;
enum cudaDriverEntryPointQueryResult {
  cudaDriverEntryPointSuccess = 0,
  cudaDriverEntryPointSymbolNotFound = 1,
  cudaDriverEntryPointVersionNotSufficent = 2,
};

using cudaMallocHost_fn = cudaError_t (*)(void** ptr, std::size_t size);
using cudaHostAlloc_fn = cudaError_t (*)(void** ptr, std::size_t size, unsigned int flags);
using cudaFreeHost_fn = cudaError_t (*)(void* ptr);
// Device memory and a device-wide wait, for the Python package's small
// buffers (the named manifest) and its benchmark.
using cudaMalloc_fn = cudaError_t (*)(void** ptr, std::size_t size);
using cudaFree_fn = cudaError_t (*)(void* ptr);
using cudaMemcpy_fn = cudaError_t (*)(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
using cudaDeviceSynchronize_fn = cudaError_t (*)();
using cudaHostRegister_fn = cudaError_t (*)(void* ptr, std::size_t size, unsigned int flags);
using cudaHostUnregister_fn = cudaError_t (*)(void* ptr);
using cudaGetLastError_fn = cudaError_t (*)();
using cudaStreamCreate_fn = cudaError_t (*)(cudaStream_t* stream);
using cudaStreamDestroy_fn = cudaError_t (*)(cudaStream_t stream);
using cudaStreamSynchronize_fn = cudaError_t (*)(cudaStream_t stream);
using cudaPointerGetAttributes_fn = cudaError_t (*)(cudaPointerAttributes* attributes, const void* ptr);
using cudaGetDevice_fn = cudaError_t (*)(int* device);
using cudaSetDevice_fn = cudaError_t (*)(int device);
using cudaGetDeviceCount_fn = cudaError_t (*)(int* count);
using cudaRuntimeGetVersion_fn = cudaError_t (*)(int* version);
// CUDA 12.5 and later (CUDA 13 included): the driver function `symbol` as
// it was at CUDA version `cudaVersion`.
using cudaGetDriverEntryPointByVersion_fn = cudaError_t (*)(const char* symbol, void** funcPtr, unsigned int cudaVersion,
                                                            unsigned long long flags,
                                                            cudaDriverEntryPointQueryResult* driverStatus);
// CUDA 12.0 to 12.4 (deprecated, still exported, in CUDA 13).
using cudaGetDriverEntryPoint_fn = cudaError_t (*)(const char* symbol, void** funcPtr, unsigned long long flags,
                                                   cudaDriverEntryPointQueryResult* driverStatus);
using cudaMemcpyAsync_fn = cudaError_t (*)(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                                           cudaStream_t stream);

}  // extern "C"
