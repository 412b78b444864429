#include "python/host_tools.h"

#include <span>
#include <string>

#include "cuda/runtime.h"
#include "pipeline/checksum.h"
#include "pipeline/prelude_reader.h"
#include "pipeline/types.h"

namespace vesk::python {
namespace {

PyObject* raise_runtime(const std::string& message) {
  PyErr_SetString(PyExc_RuntimeError, ("vesk runtime error: " + message).c_str());
  return nullptr;
}

// _read_prelude(path) -> dict with the header fields, the file's length and
// the region table as a list of (kind, logical_id, size, file_offset, crc32c).
PyObject* read_prelude(PyObject*, PyObject* args) {
  // The path is encoded as the operating system expects it (the file-system
  // encoding with surrogate escapes), so that a file whose name is not valid
  // UTF-8, as handed over by the command line, can still be opened; bytes
  // and path-like objects are accepted too, an embedded NUL is refused.
  PyObject* encoded = nullptr;
  if (!PyArg_ParseTuple(args, "O&:_read_prelude", PyUnicode_FSConverter, &encoded)) return nullptr;
  std::string path(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
  auto prelude = read_snapshot_prelude(path);
  if (!prelude) return raise_runtime(RestoreError{RestoreError::Snapshot{prelude.error()}}.message());

  const Snapshot& snap = prelude->snapshot;
  PyObject* regions = PyList_New(static_cast<Py_ssize_t>(snap.table.size()));
  if (!regions) return nullptr;
  Py_ssize_t i = 0;
  for (const RegionEntry& e : snap.table) {
    PyObject* item = Py_BuildValue("(IIKKI)", static_cast<unsigned>(e.kind), e.logical_id,
                                   static_cast<unsigned long long>(e.size),
                                   static_cast<unsigned long long>(e.file_offset), e.crc32c);
    if (!item) {
      Py_DECREF(regions);
      return nullptr;
    }
    PyList_SET_ITEM(regions, i++, item);
  }
  const auto& h = snap.header;
  return Py_BuildValue("{s:I,s:K,s:K,s:y#,s:K,s:N}", "version", h.version, "num_regions",
                       static_cast<unsigned long long>(h.num_regions), "region_table_offset",
                       static_cast<unsigned long long>(h.region_table_offset), "vllm_commit",
                       reinterpret_cast<const char*>(h.vllm_commit.data()),
                       static_cast<Py_ssize_t>(h.vllm_commit.size()), "file_size",
                       static_cast<unsigned long long>(prelude->file_size), "regions", regions);
}

// _crc32c(data, crc=0) -> int: continues `crc` over the bytes of `data`.
PyObject* crc32c_of(PyObject*, PyObject* args) {
  Py_buffer view;
  unsigned int crc = 0;
  if (!PyArg_ParseTuple(args, "y*|I:_crc32c", &view, &crc)) return nullptr;
  std::span<const std::byte> bytes(static_cast<const std::byte*>(view.buf), static_cast<std::size_t>(view.len));
  std::uint32_t result = 0;
  try {
    result = crc32c_append_parallel(crc, bytes);
  } catch (const InternalFailure& e) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
  PyBuffer_Release(&view);
  return PyLong_FromUnsignedLong(result);
}

// _runtime_path() -> str: the CUDA runtime library the module bound.
PyObject* runtime_path(PyObject*, PyObject*) {
  auto rt = load_cuda_runtime();
  if (!rt) return raise_runtime(rt.error());
  return PyUnicode_DecodeFSDefault((*rt)->loaded_from.c_str());
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

}  // namespace vesk::python
