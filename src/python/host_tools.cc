#include "python/host_tools.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "cuda/runtime.h"
#include "pipeline/checksum.h"
#include "pipeline/prelude_reader.h"
#include "pipeline/types.h"
#include "python/buffer_view.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

std::nullptr_t raise_runtime(std::string message) { return raise(VeskPyError{VeskPyError::Runtime{std::move(message)}}); }

// _read_prelude(path) -> dict with the header fields, the file's length and
// the region table as a list of (kind, logical_id, size, file_offset, crc32c).
PyObject* read_prelude(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    // The path is encoded as the operating system expects it (the file-system
    // encoding with surrogate escapes), so that a file whose name is not valid
    // UTF-8, as handed over by the command line, can still be opened; bytes
    // and path-like objects are accepted too, an embedded NUL is refused.
    PyObject* encoded_raw = nullptr;
    if (!PyArg_ParseTuple(args, "O&:_read_prelude", PyUnicode_FSConverter, &encoded_raw)) return nullptr;
    PyRef encoded = PyRef::steal(encoded_raw);
    std::string path(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return prelude_result(read_snapshot_prelude(path));
  });
}

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
    auto rt = load_cuda_runtime();
    if (!rt) return raise_runtime(rt.error());
    return PyUnicode_DecodeFSDefault((*rt)->loaded_from.c_str());
  });
}

PyMethodDef kMethods[] = {
    {"_read_prelude", read_prelude, METH_VARARGS,
     "_read_prelude(path)\n--\n\nRead and check a snapshot's header and region table (no device work)."},
    {"_crc32c", crc32c_of, METH_VARARGS,
     "_crc32c(data, crc=0)\n--\n\nCRC-32C of a buffer's bytes, continuing `crc` (no device work)."},
    {"_runtime_path", runtime_path, METH_NOARGS,
     "_runtime_path()\n--\n\nPath of the CUDA runtime library the module bound."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* host_tool_methods() { return kMethods; }

PyObject* prelude_result(const std::expected<FilePrelude, SnapshotError>& prelude) {
  if (!prelude) return raise_runtime(RestoreError{RestoreError::Snapshot{prelude.error()}}.message());

  const Snapshot& snap = prelude->snapshot;
  PyRef regions = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(snap.table.size())));
  if (!regions) return nullptr;
  Py_ssize_t i = 0;
  for (const RegionEntry& e : snap.table) {
    PyObject* item = Py_BuildValue("(IIKKI)", static_cast<unsigned>(e.kind), e.logical_id,
                                   static_cast<unsigned long long>(e.size),
                                   static_cast<unsigned long long>(e.file_offset), e.crc32c);
    if (!item) return nullptr;
    PyList_SET_ITEM(regions.get(), i++, item);
  }
  const auto& h = snap.header;
  return Py_BuildValue("{s:I,s:K,s:K,s:y#,s:K,s:O}", "version", h.version, "num_regions",
                       static_cast<unsigned long long>(h.num_regions), "region_table_offset",
                       static_cast<unsigned long long>(h.region_table_offset), "vllm_commit",
                       reinterpret_cast<const char*>(h.vllm_commit.data()),
                       static_cast<Py_ssize_t>(h.vllm_commit.size()), "file_size",
                       static_cast<unsigned long long>(prelude->file_size), "regions", regions.get());
}

}  // namespace vesk::py
