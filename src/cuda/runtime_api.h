// C signatures of the CUDA runtime calls this module makes (CUDA 12 ABI,
// unchanged in CUDA 13 for these calls). Building needs no CUDA toolkit.
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

struct cudaPointerAttributes {
  enum cudaMemoryType type;
  int device;
  void* devicePointer;
  void* hostPointer;
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
using cudaMemcpyAsync_fn = cudaError_t (*)(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                                           cudaStream_t stream);

}  // extern "C"
