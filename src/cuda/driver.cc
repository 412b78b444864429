#include "cuda/driver.h"

#include <atomic>

#include "cuda/runtime.h"

namespace vesk {

namespace {

std::atomic<bool> g_unreachable_for_testing{false};

// The driver ABI these declarations follow: CUDA 12.0's, which CUDA 13
// keeps for these three calls.
constexpr unsigned int kDriverAbiVersion = 12000;

template <typename Fn>
bool look_up(const CudaRuntime& rt, const char* symbol, Fn& slot) {
  void* fn = nullptr;
  cudaDriverEntryPointQueryResult found = cudaDriverEntryPointSymbolNotFound;
  cudaError_t status = rt.cudaGetDriverEntryPointByVersion != nullptr
                           ? rt.cudaGetDriverEntryPointByVersion(symbol, &fn, kDriverAbiVersion, cudaEnableDefault, &found)
                           : rt.cudaGetDriverEntryPoint(symbol, &fn, cudaEnableDefault, &found);
  if (status != cudaSuccess) {
    // A refused lookup is recorded for the thread like any failed call.
    (void)rt.cudaGetLastError();
    return false;
  }
  if (found != cudaDriverEntryPointSuccess || fn == nullptr) return false;
  slot = reinterpret_cast<Fn>(fn);
  return true;
}

const CudaDriver* resolve() {
  const CudaRuntime& rt = cuda();
  if (rt.cudaGetDriverEntryPointByVersion == nullptr && rt.cudaGetDriverEntryPoint == nullptr) return nullptr;
  static CudaDriver driver;
  const bool ok = look_up(rt, "cuPointerGetAttributes", driver.cuPointerGetAttributes) &&
                  look_up(rt, "cuCtxGetCurrent", driver.cuCtxGetCurrent) &&
                  look_up(rt, "cuCtxSetCurrent", driver.cuCtxSetCurrent);
  return ok ? &driver : nullptr;
}

}  // namespace

const CudaDriver* cuda_driver() {
  // Looked up once for the process: the bound runtime never changes.
  static const CudaDriver* const driver = resolve();
  if (g_unreachable_for_testing.load(std::memory_order_relaxed)) return nullptr;
  return driver;
}

void set_driver_unreachable_for_testing(bool unreachable) {
  g_unreachable_for_testing.store(unreachable, std::memory_order_relaxed);
}

}  // namespace vesk
