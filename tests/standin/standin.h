// Control interface of the stand-in CUDA runtime (libcudart.so.12 and
// libcudart.so.13 built by this project for machines without a GPU). Plain C so that tests in any
// language can call it; Python reaches it through ctypes. Keep these names
// and meanings stable: every test suite relies on them.
#pragma once

#include <cstddef>

#include "cuda/driver_api.h"
#include "cuda/runtime_api.h"

extern "C" {

// Clears injected failures and call counters, makes every thread's recorded
// error stale and turns the switches below back to their defaults (the copy
// delay stays); live objects stay live.
void standin_reset(void);
// The nth call from now (1 = the next) of `call` returns `status`; nth 0
// means every call until the next reset. A failing cudaStreamSynchronize
// reports that status.
void standin_fail(const char* call, int nth, int status);
// Live objects of a kind: "pinned", "registered", "streams", "device".
long standin_live(const char* what);
// Calls of the named runtime function since the last reset.
long standin_calls(const char* call);
// Async copies whose host side lay outside every live page-locked
// allocation and registration.
long standin_pageable_copies(void);
// Minimum delay of each queued copy.
void standin_set_delay_us(unsigned us);
// Frees of page-locked memory / ends of registrations while a queued copy
// that had not yet run still touched the range.
// Also counts copies queued on a stream of one device that touch another
// device's memory.
long standin_hazards(void);
// The calling thread's recorded error, without clearing it (0 when none).
cudaError_t standin_peek_last_error(void);
// Flags of the latest successful cudaHostRegister since the reset, -1 when
// none.
long standin_last_register_flags(void);
// 0 makes the device one without read-only registration: cudaHostRegister
// with cudaHostRegisterReadOnly answers 801. Default 1.
void standin_set_readonly_register_supported(int supported);
// Alignment of page-locked allocations (a power of two up to 4096; 0 means
// the default, 4096); 256 gives blocks aligned to 256 bytes and no more.
void standin_set_pinned_alignment(unsigned bytes);

// 1 makes each following cudaMalloc return a block that starts where the
// previous one (made while this was on) ends, each still an allocation of
// its own, as a caching allocator's neighbouring blocks are. Default 0.
void standin_set_adjacent_allocations(int on);
// One address range holding `count` allocations of the given sizes mapped
// back to back (a reserved range with several mappings, on the calling
// thread's device): copies may span them, the driver reports each mapping
// and the range. cudaFree on the range's start releases it all.
cudaError_t standin_map_allocations(void** range, const std::size_t* sizes, int count);
// Primary contexts created on a device since the last reset (a reset
// forgets every context, as a fresh process would have none).
long standin_contexts_created(int device);

// Contexts: each thread has a current context or none. A call that works
// on a device (allocations, streams, copies, registration, pointer
// attributes) on a thread with none creates and binds the primary context
// of the thread's selected device, device 0 unless cudaSetDevice chose
// another; cudaSetDevice creates and binds its device's at once.
// cudaGetDevice, cudaGetDeviceCount, cudaGetLastError, the entry-point
// lookups and the driver calls need none.
//
// Copies (cudaMemcpy, cudaMemcpyAsync) whose device range starts in an
// allocation and ends past it, or reaches into one from outside, are
// refused with cudaErrorInvalidValue.

// Two devices: cudaMalloc tags memory with the calling thread's current
// device (cudaSetDevice) and each stream belongs to the device current at
// its creation.

// The runtime calls the module binds at run time, for tests that call them
// directly (the stand-in is linked into every test executable).
cudaError_t cudaMallocHost(void** ptr, std::size_t size);
cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaGetLastError(void);
cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream);
cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaRuntimeGetVersion(int* version);
cudaError_t cudaGetDriverEntryPointByVersion(const char* symbol, void** funcPtr, unsigned int cudaVersion,
                                             unsigned long long flags, cudaDriverEntryPointQueryResult* driverStatus);
cudaError_t cudaGetDriverEntryPoint(const char* symbol, void** funcPtr, unsigned long long flags,
                                    cudaDriverEntryPointQueryResult* driverStatus);
// The driver calls (counted by standin_calls under these names).
CUresult cuPointerGetAttributes(unsigned int numAttributes, CUpointer_attribute* attributes, void** data,
                                CUdeviceptr ptr);
CUresult cuCtxGetCurrent(CUcontext* pctx);
CUresult cuCtxSetCurrent(CUcontext ctx);

// Runtime calls beyond those the module uses, for tests.
cudaError_t cudaMalloc(void** ptr, std::size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* ptr, int value, std::size_t count);
cudaError_t cudaDeviceSynchronize(void);
}
