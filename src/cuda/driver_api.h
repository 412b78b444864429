// C signatures of the few CUDA driver calls this module makes. The driver
// is never linked or opened by name: its functions come from the bound
// runtime's driver entry-point call (cuda/driver.h), so a process gets the
// driver that its runtime already uses.
#pragma once

extern "C" {

typedef int CUresult;
typedef struct CUctx_st* CUcontext;
typedef unsigned long long CUdeviceptr;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_INVALID_VALUE = 1;

// The attributes of cuPointerGetAttributes that the module asks for.
enum CUpointer_attribute {
  CU_POINTER_ATTRIBUTE_MEMORY_TYPE = 2,       // unsigned int, a CUmemorytype
  CU_POINTER_ATTRIBUTE_IS_MANAGED = 8,        // a boolean
  CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL = 9,    // int
  CU_POINTER_ATTRIBUTE_RANGE_START_ADDR = 11, // CUdeviceptr: the allocation or reserved range
  CU_POINTER_ATTRIBUTE_RANGE_SIZE = 12,       // size_t
  CU_POINTER_ATTRIBUTE_MAPPED = 13,           // a boolean
  CU_POINTER_ATTRIBUTE_MAPPING_SIZE = 18,     // size_t: the mapping inside the range
  CU_POINTER_ATTRIBUTE_MAPPING_BASE_ADDR = 19,
};

enum CUmemorytype {
  CU_MEMORYTYPE_HOST = 1,
  CU_MEMORYTYPE_DEVICE = 2,
  CU_MEMORYTYPE_ARRAY = 3,
  CU_MEMORYTYPE_UNIFIED = 4,
};

// None of these needs (or creates) a context.
using cuPointerGetAttributes_fn = CUresult (*)(unsigned int numAttributes, CUpointer_attribute* attributes, void** data,
                                               CUdeviceptr ptr);
using cuCtxGetCurrent_fn = CUresult (*)(CUcontext* pctx);
using cuCtxSetCurrent_fn = CUresult (*)(CUcontext ctx);

}  // extern "C"
