#include "python/host_tools.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "cuda/runtime.h"
#include "pipeline/checksum.h"
#include "pipeline/types.h"
#include "python/backend.h"
#include "python/buffer_view.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

// _crc32c(data, crc=0) -> int: continues `crc` over the bytes of `data`.
PyObject* crc32c_of(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    // Any C-contiguous buffer, whatever its item format: the checksum is of
    // the bytes as they lie in memory (the benchmark hands ctypes arrays).
    auto view = std::make_unique<BufferView>();
    unsigned int crc = 0;
    if (!PyArg_ParseTuple(args, "y*|I:_crc32c", view->fill_target(), &crc)) return nullptr;
    const std::span<const std::uint8_t> bytes = view->bytes();
    return PyLong_FromUnsignedLong(crc32c_append_parallel(crc, std::as_bytes(bytes)));
  });
}

// _runtime_path() -> str: the CUDA runtime library the module bound.
PyObject* runtime_path(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!bind_cuda_runtime()) return nullptr;
    return PyUnicode_DecodeFSDefault(cuda().loaded_from.c_str());
  });
}

PyMethodDef kMethods[] = {
    {"_crc32c", crc32c_of, METH_VARARGS,
     "_crc32c(data, crc=0, /)\n--\n\nCRC-32C of a buffer's bytes, continuing `crc` (no device work)."},
    {"_runtime_path", runtime_path, METH_NOARGS,
     "_runtime_path()\n--\n\nPath of the CUDA runtime library the module bound."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* host_tool_methods() { return kMethods; }

}  // namespace vesk::py
