#include "python/cuda_status_notes.h"

#include <Python.h>

#include <charconv>

#include "python/errors.h"

namespace vesk::py {

namespace {

struct StatusNote {
  int code;
  const char* name;
  const char* cause;
};

// The statuses users meet, named as the runtime's headers name them (the
// driver's codes that vesk can report share these numbers and meanings).
constexpr StatusNote kNotes[] = {
    {1, "cudaErrorInvalidValue",
     "the runtime refused an argument: usually an address or size outside the memory it belongs to"},
    {2, "cudaErrorMemoryAllocation", "out of memory: device or page-locked host memory could not be allocated"},
    {3, "cudaErrorInitializationError", "the CUDA driver or runtime could not be initialised"},
    {4, "cudaErrorCudartUnloading", "the CUDA runtime is shutting down (a call made while the process exits)"},
    {34, "cudaErrorStubLibrary", "a stub of the CUDA driver library was loaded instead of the real driver"},
    {35, "cudaErrorInsufficientDriver", "the NVIDIA driver is missing or older than this CUDA runtime"},
    {36, "cudaErrorCallRequiresNewerDriver", "the call needs a newer NVIDIA driver than the one installed"},
    {46, "cudaErrorDevicesUnavailable",
     "the GPU is busy or unavailable: another process holds it in exclusive compute mode"},
    {100, "cudaErrorNoDevice", "no CUDA-capable GPU is visible to this process (check CUDA_VISIBLE_DEVICES)"},
    {101, "cudaErrorInvalidDevice", "the device number does not name a GPU visible to this process"},
    {201, "cudaErrorDeviceUninitialized",
     "no valid context for the call: it was destroyed, or was inherited across fork()"},
    {304, "cudaErrorOperatingSystem", "the operating system refused a request of the runtime"},
    {400, "cudaErrorInvalidResourceHandle", "a stream or other handle that is not (or no longer) valid"},
    {700, "cudaErrorIllegalAddress",
     "the GPU touched memory it may not (freed or too small device memory); the process must restart to use the GPU"},
    {709, "cudaErrorContextIsDestroyed", "the context the call needs was destroyed"},
    {712, "cudaErrorHostMemoryAlreadyRegistered", "the host memory is already registered with the runtime"},
    {713, "cudaErrorHostMemoryNotRegistered", "the host memory is not registered with the runtime"},
    {719, "cudaErrorLaunchFailure",
     "an earlier failure on the GPU left its context unusable; the process must restart to use the GPU"},
    {801, "cudaErrorNotSupported", "this GPU or system does not support the operation"},
    {999, "cudaErrorUnknown", "the runtime reported an unknown error"},
};

}  // namespace

std::string cuda_status_note(std::string_view message) {
  constexpr std::string_view kTag = "CudaStatus(";
  const auto at = message.find(kTag);
  if (at == std::string_view::npos) return {};
  const char* first = message.data() + at + kTag.size();
  const char* last = message.data() + message.size();
  int code = 0;
  const auto [end, ec] = std::from_chars(first, last, code);
  if (ec != std::errc() || end == last || *end != ')') return {};
  for (const StatusNote& n : kNotes) {
    if (n.code == code) return "CudaStatus(" + std::to_string(code) + ") is " + n.name + ": " + n.cause;
  }
  return {};
}

void add_cuda_status_note(std::string_view message) {
  const std::string note = cuda_status_note(message);
  if (!note.empty()) add_note(note);
}

}  // namespace vesk::py
