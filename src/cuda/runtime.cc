#include "cuda/runtime.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace vesk {

namespace {

// Serialises binding; the bound runtime is set once and never replaced, so
// a reader that saw it non-null may keep the reference for the process's life.
std::mutex g_bind_mutex;
std::atomic<const CudaRuntime*> g_bound{nullptr};

std::string last_dl_error() {
  const char* e = dlerror();
  return e != nullptr ? e : "unknown error";
}

// The folder that holds the binary this code was linked into: the module's
// own $ORIGIN when built into the extension, the executable's for tests.
std::string origin_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&origin_dir), &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

template <typename Fn>
bool bind_symbol(void* handle, const char* name, Fn& slot, std::string& why) {
  dlerror();
  void* sym = dlsym(handle, name);
  if (sym == nullptr) {
    why = std::string("missing ") + name + ": " + last_dl_error();
    return false;
  }
  slot = reinterpret_cast<Fn>(sym);
  return true;
}

// The file a loaded library came from, as the loader recorded it; empty
// when the loader does not say.
std::string loaded_file(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) return {};
  return map->l_name;
}

// Binds every call from one library; on failure `why` says what went wrong.
// With `only_loaded`, a library that is not in the process yet is skipped
// (false with `why` empty) instead of being loaded.
bool try_one(const std::string& path, CudaRuntime& rt, std::string& why, bool only_loaded) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (only_loaded ? RTLD_NOLOAD : 0));
  if (handle == nullptr) {
    why = only_loaded ? std::string() : last_dl_error();
    return false;
  }
  bool ok = bind_symbol(handle, "cudaMallocHost", rt.cudaMallocHost, why) &&
            bind_symbol(handle, "cudaHostAlloc", rt.cudaHostAlloc, why) &&
            bind_symbol(handle, "cudaFreeHost", rt.cudaFreeHost, why) &&
            bind_symbol(handle, "cudaMalloc", rt.cudaMalloc, why) &&
            bind_symbol(handle, "cudaFree", rt.cudaFree, why) &&
            bind_symbol(handle, "cudaMemcpy", rt.cudaMemcpy, why) &&
            bind_symbol(handle, "cudaDeviceSynchronize", rt.cudaDeviceSynchronize, why) &&
            bind_symbol(handle, "cudaHostRegister", rt.cudaHostRegister, why) &&
            bind_symbol(handle, "cudaHostUnregister", rt.cudaHostUnregister, why) &&
            bind_symbol(handle, "cudaGetLastError", rt.cudaGetLastError, why) &&
            bind_symbol(handle, "cudaStreamCreate", rt.cudaStreamCreate, why) &&
            bind_symbol(handle, "cudaStreamDestroy", rt.cudaStreamDestroy, why) &&
            bind_symbol(handle, "cudaStreamSynchronize", rt.cudaStreamSynchronize, why) &&
            bind_symbol(handle, "cudaMemcpyAsync", rt.cudaMemcpyAsync, why) &&
            bind_symbol(handle, "cudaPointerGetAttributes", rt.cudaPointerGetAttributes, why) &&
            bind_symbol(handle, "cudaGetDevice", rt.cudaGetDevice, why) &&
            bind_symbol(handle, "cudaSetDevice", rt.cudaSetDevice, why) &&
            bind_symbol(handle, "cudaGetDeviceCount", rt.cudaGetDeviceCount, why);
  if (ok) {
    // Optional: a runtime without either lookup leaves the driver out of
    // reach, which only costs the allocation-aware features.
    rt.cudaRuntimeGetVersion = reinterpret_cast<cudaRuntimeGetVersion_fn>(dlsym(handle, "cudaRuntimeGetVersion"));
    rt.cudaGetDriverEntryPointByVersion = reinterpret_cast<cudaGetDriverEntryPointByVersion_fn>(
        dlsym(handle, "cudaGetDriverEntryPointByVersion"));
    rt.cudaGetDriverEntryPoint =
        reinterpret_cast<cudaGetDriverEntryPoint_fn>(dlsym(handle, "cudaGetDriverEntryPoint"));
    dlerror();
  }
  if (!ok) {
    dlclose(handle);
    rt = CudaRuntime{};
    return false;
  }
  // The library stays loaded for the life of the process: unloading a
  // runtime that may still own streams and page-locked memory is unsafe.
  // A candidate found among the loaded libraries may be a bare name that
  // matched another file's soname: report the file itself.
  std::string file = only_loaded ? loaded_file(handle) : std::string();
  rt.loaded_from = file.empty() ? path : file;
  return true;
}

}  // namespace

std::vector<std::string> default_runtime_candidates() {
  // An explicit choice replaces the search, so that a build tree whose
  // private folder holds the stand-in can still run on a GPU.
  if (const char* chosen = std::getenv("VESK_CUDA_RUNTIME"); chosen != nullptr && *chosen != '\0') {
    return {chosen};
  }
  std::vector<std::string> out;
  const std::string origin = origin_dir();
  for (const char* name : {"libcudart.so.12", "libcudart.so.13"}) {
    if (!origin.empty()) {
      out.push_back(origin + "/../vesk_native.libs/" + name);
      out.push_back(origin + "/../nvidia/cuda_runtime/lib/" + name);
      // Where the CUDA 13 runtime wheels install it.
      if (std::string_view(name) == "libcudart.so.13") out.push_back(origin + "/../nvidia/cu13/lib/" + name);
    }
    out.push_back(name);
  }
  return out;
}

std::expected<CudaRuntime, std::string> open_cuda_runtime(const std::vector<std::string>& candidates) {
  if (candidates.empty()) return std::unexpected(std::string("cannot load the CUDA runtime: no candidates given"));
  for (const auto& path : candidates) {
    CudaRuntime rt;
    std::string why;
    if (try_one(path, rt, why, true)) return rt;
  }
  std::string tried;
  for (const auto& path : candidates) {
    CudaRuntime rt;
    std::string why;
    if (try_one(path, rt, why, false)) return rt;
    tried += tried.empty() ? "" : "; ";
    tried += path + " (" + why + ")";
  }
  return std::unexpected("cannot load the CUDA runtime; tried: " + tried);
}

std::expected<const CudaRuntime*, std::string> load_cuda_runtime(const std::vector<std::string>& candidates) {
  std::lock_guard lock(g_bind_mutex);
  if (const CudaRuntime* rt = g_bound.load(std::memory_order_acquire)) return rt;
  auto rt = open_cuda_runtime(candidates);
  if (!rt) return std::unexpected(rt.error());
  // Bound once for the whole process and deliberately never freed.
  static CudaRuntime bound;
  bound = std::move(*rt);
  g_bound.store(&bound, std::memory_order_release);
  return &bound;
}

std::expected<const CudaRuntime*, std::string> load_cuda_runtime() {
  return load_cuda_runtime(default_runtime_candidates());
}

const CudaRuntime& cuda() {
  const CudaRuntime* rt = g_bound.load(std::memory_order_acquire);
  if (rt == nullptr) {
    std::fputs("vesk: the CUDA runtime is used before it was loaded\n", stderr);
    std::abort();
  }
  return *rt;
}

}  // namespace vesk
