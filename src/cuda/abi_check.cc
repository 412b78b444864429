// Compiled only where the CUDA 13 headers are installed: proves that the
// declarations in runtime_api.h and driver_api.h match what a CUDA 13
// runtime and driver read and write. Nothing here is linked into anything.
#include <cuda.h>
#include <cuda_runtime_api.h>

#include <cstddef>
#include <type_traits>

static_assert(CUDART_VERSION >= 13000, "the layout check wants the CUDA 13 headers");

// The headers' flags are macros; keep their values, then let the module's
// declarations use the names.
constexpr unsigned long long kRealWriteCombined = cudaHostAllocWriteCombined;
constexpr unsigned long long kRealRegisterDefault = cudaHostRegisterDefault;
constexpr unsigned long long kRealRegisterReadOnly = cudaHostRegisterReadOnly;
#undef cudaHostAllocWriteCombined
#undef cudaHostRegisterDefault
#undef cudaHostRegisterReadOnly

namespace mine {
#include "cuda/driver_api.h"
#include "cuda/runtime_api.h"
}  // namespace mine

// The structure the runtime fills in: same size, same fields at the same
// offsets, so no runtime writes past it.
static_assert(sizeof(mine::cudaPointerAttributes) == sizeof(::cudaPointerAttributes));
static_assert(alignof(mine::cudaPointerAttributes) == alignof(::cudaPointerAttributes));
static_assert(offsetof(mine::cudaPointerAttributes, type) == offsetof(::cudaPointerAttributes, type));
static_assert(offsetof(mine::cudaPointerAttributes, device) == offsetof(::cudaPointerAttributes, device));
static_assert(offsetof(mine::cudaPointerAttributes, devicePointer) == offsetof(::cudaPointerAttributes, devicePointer));
static_assert(offsetof(mine::cudaPointerAttributes, hostPointer) == offsetof(::cudaPointerAttributes, hostPointer));
static_assert(sizeof(mine::cudaMemoryType) == sizeof(::cudaMemoryType));

// Enumerations and flags passed to the runtime.
static_assert(sizeof(mine::cudaError_t) == sizeof(::cudaError_t));
static_assert(mine::cudaSuccess == static_cast<int>(::cudaSuccess));
static_assert(mine::cudaErrorInvalidValue == static_cast<int>(::cudaErrorInvalidValue));
static_assert(mine::cudaErrorMemoryAllocation == static_cast<int>(::cudaErrorMemoryAllocation));
static_assert(sizeof(mine::cudaMemcpyKind) == sizeof(::cudaMemcpyKind));
static_assert(mine::cudaMemcpyHostToDevice == static_cast<int>(::cudaMemcpyHostToDevice));
static_assert(mine::cudaMemcpyDeviceToHost == static_cast<int>(::cudaMemcpyDeviceToHost));
static_assert(mine::cudaMemoryTypeUnregistered == static_cast<int>(::cudaMemoryTypeUnregistered));
static_assert(mine::cudaMemoryTypeHost == static_cast<int>(::cudaMemoryTypeHost));
static_assert(mine::cudaMemoryTypeDevice == static_cast<int>(::cudaMemoryTypeDevice));
static_assert(mine::cudaMemoryTypeManaged == static_cast<int>(::cudaMemoryTypeManaged));
static_assert(mine::cudaHostAllocWriteCombined == kRealWriteCombined);
static_assert(mine::cudaHostRegisterDefault == kRealRegisterDefault);
static_assert(mine::cudaHostRegisterReadOnly == kRealRegisterReadOnly);
static_assert(mine::cudaEnableDefault == static_cast<unsigned long long>(::cudaEnableDefault));
static_assert(sizeof(mine::cudaDriverEntryPointQueryResult) == sizeof(::cudaDriverEntryPointQueryResult));
static_assert(mine::cudaDriverEntryPointSuccess == static_cast<int>(::cudaDriverEntryPointSuccess));
static_assert(sizeof(mine::cudaStream_t) == sizeof(::cudaStream_t));

// The driver's side.
static_assert(sizeof(mine::CUresult) == sizeof(::CUresult));
static_assert(sizeof(mine::CUdeviceptr) == sizeof(::CUdeviceptr));
static_assert(sizeof(mine::CUpointer_attribute) == sizeof(::CUpointer_attribute));
static_assert(mine::CU_POINTER_ATTRIBUTE_MEMORY_TYPE == static_cast<int>(::CU_POINTER_ATTRIBUTE_MEMORY_TYPE));
static_assert(mine::CU_POINTER_ATTRIBUTE_IS_MANAGED == static_cast<int>(::CU_POINTER_ATTRIBUTE_IS_MANAGED));
static_assert(mine::CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL == static_cast<int>(::CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL));
static_assert(mine::CU_POINTER_ATTRIBUTE_RANGE_START_ADDR ==
              static_cast<int>(::CU_POINTER_ATTRIBUTE_RANGE_START_ADDR));
static_assert(mine::CU_POINTER_ATTRIBUTE_RANGE_SIZE == static_cast<int>(::CU_POINTER_ATTRIBUTE_RANGE_SIZE));
static_assert(mine::CU_POINTER_ATTRIBUTE_MAPPED == static_cast<int>(::CU_POINTER_ATTRIBUTE_MAPPED));
static_assert(mine::CU_POINTER_ATTRIBUTE_MAPPING_SIZE == static_cast<int>(::CU_POINTER_ATTRIBUTE_MAPPING_SIZE));
static_assert(mine::CU_POINTER_ATTRIBUTE_MAPPING_BASE_ADDR ==
              static_cast<int>(::CU_POINTER_ATTRIBUTE_MAPPING_BASE_ADDR));
static_assert(mine::CU_MEMORYTYPE_HOST == static_cast<int>(::CU_MEMORYTYPE_HOST));
static_assert(mine::CU_MEMORYTYPE_DEVICE == static_cast<int>(::CU_MEMORYTYPE_DEVICE));
static_assert(mine::CU_MEMORYTYPE_UNIFIED == static_cast<int>(::CU_MEMORYTYPE_UNIFIED));

// The calls, parameter by parameter: each declared signature converts
// from the header's once enumerations are read as the integers they are.
template <typename R, typename... A>
constexpr std::size_t arity(R (*)(A...)) {
  return sizeof...(A);
}
static_assert(arity(static_cast<mine::cudaGetDriverEntryPointByVersion_fn>(nullptr)) ==
              arity(&::cudaGetDriverEntryPointByVersion));
static_assert(arity(static_cast<mine::cudaMemcpyAsync_fn>(nullptr)) == arity(&::cudaMemcpyAsync));
static_assert(arity(static_cast<mine::cudaPointerGetAttributes_fn>(nullptr)) == arity(&::cudaPointerGetAttributes));
static_assert(arity(static_cast<mine::cuPointerGetAttributes_fn>(nullptr)) == arity(&::cuPointerGetAttributes));
static_assert(std::is_same_v<mine::cuCtxSetCurrent_fn, decltype(&::cuCtxSetCurrent)> ||
              arity(static_cast<mine::cuCtxSetCurrent_fn>(nullptr)) == arity(&::cuCtxSetCurrent));
