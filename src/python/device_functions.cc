#include "python/device_functions.h"

#include <cstdint>
#include <memory>

#include "backend/backend_error.h"
#include "cuda/runtime.h"
#include "python/backend.h"
#include "python/buffer_view.h"
#include "python/error_attributes.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

// Raises the failed call's status as a backend error, after clearing it
// from the runtime's error slot.
std::nullptr_t raise_cuda(cudaError_t status, const char* op) {
  cuda().cudaGetLastError();
  return raise_error(BackendError{BackendError::Cuda{CudaStatus{status}, op}});
}

// Runs a runtime call without the interpreter lock: copies and waits can
// take long, and other Python threads may run meanwhile.
template <class Call>
cudaError_t unlocked(Call&& call) {
  cudaError_t status;
  Py_BEGIN_ALLOW_THREADS status = call();
  Py_END_ALLOW_THREADS return status;
}

void* as_pointer(unsigned long long address) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)); }

// Every function here needs the runtime: bound at the first of them.
template <class Body>
PyObject* device_call(Body&& body) {
  return guarded([&]() -> PyObject* {
    if (!bind_cuda_runtime()) return nullptr;
    return body();
  });
}

// One synchronous copy of `size` bytes (none for 0), its failure raised
// under the direction's label.
bool copy_or_raise(void* dst, const void* src, std::size_t size, cudaMemcpyKind kind) {
  if (size == 0) return true;
  const cudaError_t s = unlocked([&] { return cuda().cudaMemcpy(dst, src, size, kind); });
  if (s == cudaSuccess) return true;
  raise_cuda(s, kind == cudaMemcpyHostToDevice ? "cudaMemcpy(h2d)" : "cudaMemcpy(d2h)");
  return false;
}

// _device_alloc(size) -> int: an allocation on the current device.
PyObject* device_alloc(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "n:_device_alloc", &size)) return nullptr;
    if (size < 0) {
      PyErr_SetString(PyExc_ValueError, "size must not be negative");
      return nullptr;
    }
    void* ptr = nullptr;
    if (cudaError_t s = cuda().cudaMalloc(&ptr, static_cast<std::size_t>(size)); s != cudaSuccess)
      return raise_cuda(s, "cudaMalloc");
    return PyLong_FromVoidPtr(ptr);
  });
}

// _device_free(ptr): frees an allocation of _device_alloc.
PyObject* device_free(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    unsigned long long address = 0;
    if (!PyArg_ParseTuple(args, "K:_device_free", &address)) return nullptr;
    if (cudaError_t s = cuda().cudaFree(as_pointer(address)); s != cudaSuccess) return raise_cuda(s, "cudaFree");
    Py_RETURN_NONE;
  });
}

// _device_upload(ptr, data): copies a buffer's bytes to device memory.
PyObject* device_upload(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    auto view = std::make_unique<BufferView>();
    unsigned long long address = 0;
    if (!PyArg_ParseTuple(args, "Ky*:_device_upload", &address, view->fill_target())) return nullptr;
    const auto bytes = view->bytes();
    if (!copy_or_raise(as_pointer(address), bytes.data(), bytes.size(), cudaMemcpyHostToDevice)) return nullptr;
    Py_RETURN_NONE;
  });
}

// _device_download(ptr, size) -> bytes
PyObject* device_download(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    unsigned long long address = 0;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "Kn:_device_download", &address, &size)) return nullptr;
    if (size < 0) {
      PyErr_SetString(PyExc_ValueError, "size must not be negative");
      return nullptr;
    }
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!out) return nullptr;
    if (!copy_or_raise(PyBytes_AS_STRING(out.get()), as_pointer(address), static_cast<std::size_t>(size),
                       cudaMemcpyDeviceToHost))
      return nullptr;
    return out.release();
  });
}

// _copy(dst, src, size, kind): a copy between raw addresses, kind 1 host
// to device, 2 device to host (the benchmark's page-locked buffers).
PyObject* raw_copy(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    unsigned long long dst = 0, src = 0, size = 0;
    int kind = 0;
    if (!PyArg_ParseTuple(args, "KKKi:_copy", &dst, &src, &size, &kind)) return nullptr;
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToHost) {
      PyErr_SetString(PyExc_ValueError, "kind must be 1 (host to device) or 2 (device to host)");
      return nullptr;
    }
    if (!copy_or_raise(as_pointer(dst), as_pointer(src), static_cast<std::size_t>(size),
                       static_cast<cudaMemcpyKind>(kind)))
      return nullptr;
    Py_RETURN_NONE;
  });
}

// _pinned_alloc(size) -> int / _pinned_free(ptr): page-locked host memory.
PyObject* pinned_alloc(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "n:_pinned_alloc", &size)) return nullptr;
    void* ptr = nullptr;
    if (cudaError_t s = cuda().cudaMallocHost(&ptr, static_cast<std::size_t>(size < 1 ? 1 : size)); s != cudaSuccess)
      return raise_cuda(s, "cudaMallocHost");
    return PyLong_FromVoidPtr(ptr);
  });
}

PyObject* pinned_free(PyObject*, PyObject* args) {
  return device_call([&]() -> PyObject* {
    unsigned long long address = 0;
    if (!PyArg_ParseTuple(args, "K:_pinned_free", &address)) return nullptr;
    if (cudaError_t s = cuda().cudaFreeHost(as_pointer(address)); s != cudaSuccess) return raise_cuda(s, "cudaFreeHost");
    Py_RETURN_NONE;
  });
}

// _device_synchronize(): waits for all work queued on the current device.
PyObject* device_synchronize(PyObject*, PyObject*) {
  return device_call([&]() -> PyObject* {
    const cudaError_t s = unlocked([] { return cuda().cudaDeviceSynchronize(); });
    if (s != cudaSuccess) return raise_cuda(s, "cudaDeviceSynchronize");
    Py_RETURN_NONE;
  });
}

PyMethodDef kMethods[] = {
    {"_device_alloc", device_alloc, METH_VARARGS, "_device_alloc(size, /)\n--\n\nDevice memory on the current device."},
    {"_device_free", device_free, METH_VARARGS, "_device_free(ptr, /)\n--\n\nFree memory of _device_alloc."},
    {"_device_upload", device_upload, METH_VARARGS, "_device_upload(ptr, data, /)\n--\n\nCopy bytes to the device."},
    {"_device_download", device_download, METH_VARARGS,
     "_device_download(ptr, size, /)\n--\n\nCopy bytes from the device."},
    {"_copy", raw_copy, METH_VARARGS,
     "_copy(dst, src, size, kind, /)\n--\n\nCopy between raw addresses (1: h2d, 2: d2h)."},
    {"_pinned_alloc", pinned_alloc, METH_VARARGS, "_pinned_alloc(size, /)\n--\n\nPage-locked host memory."},
    {"_pinned_free", pinned_free, METH_VARARGS, "_pinned_free(ptr, /)\n--\n\nFree memory of _pinned_alloc."},
    {"_device_synchronize", device_synchronize, METH_NOARGS,
     "_device_synchronize()\n--\n\nWait for all work queued on the current device."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* device_methods() { return kMethods; }

}  // namespace vesk::py
