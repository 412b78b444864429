#include "python/remote_functions.h"

#include <cstdint>
#include <string>

#include "pipeline/config.h"
#include "pipeline/error_wrap.h"
#include "pipeline/restore_file.h"
#include "python/backend.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/functions.h"
#include "python/py_ref.h"
#include "remote/remote_source.h"

namespace vesk::py {
namespace {

char** keyword_list(const char** names) { return const_cast<char**>(names); }

// Runs `work` with the interpreter lock released: a transfer may wait on
// the network for long, and touches no Python object meanwhile.
template <class Work>
auto without_gil(Work&& work) {
  PyThreadState* saved = PyEval_SaveThread();
  struct Restore {
    PyThreadState* s;
    ~Restore() { PyEval_RestoreThread(s); }
  } restore{saved};
  return work();
}

// A failure to reach or read the object: its kind and message.
std::nullptr_t raise_io(const IoError& e) {
  return raise(VeskPyError{VeskPyError::Runtime{std::string(io_error_kind_name(e.kind())) + ": " + e.to_string()}});
}

// _remote_restore(url, mapping, verify=True): restore_from_file_pipelined
// for a URL.
PyObject* remote_restore(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"url", "mapping", "verify", nullptr};
    const char* url = nullptr;
    PyObject *mapping_obj = nullptr, *verify_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|O:_remote_restore", keyword_list(names), &url, &mapping_obj,
                                     &verify_obj))
      return nullptr;
    PipelineConfig config;
    if (verify_obj != nullptr) {
      auto verify = convert_arg("verify", [&] { return to_bool(verify_obj); });
      if (!verify) return nullptr;
      config.verify_checksums = *verify;
    }
    const std::string where(url);
    return restore_with_mapping(mapping_obj, [&](const RegionResolver& resolve, const DeviceAllocations* allocations)
                                                 -> std::expected<RestoreStats, RestoreError> {
      config.allocations = allocations;
      return without_gil([&]() -> std::expected<RestoreStats, RestoreError> {
        auto source = open_remote_source(where);
        if (!source) return std::unexpected(io_err<RestoreError>(source.error()));
        return restore_pipelined_from(cuda_backend(), **source, resolve, config);
      });
    });
  });
}

// _remote_stat(url) -> (label, length, etag or None)
PyObject* remote_stat(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* url = nullptr;
    if (!PyArg_ParseTuple(args, "s:_remote_stat", &url)) return nullptr;
    auto source = without_gil([&] { return open_remote_source(url); });
    if (!source) return raise_io(source.error());
    const auto& etag = (*source)->etag();
    return Py_BuildValue("(sKz)", (*source)->label().c_str(), static_cast<unsigned long long>((*source)->length()),
                         etag ? etag->c_str() : nullptr);
  });
}

// _remote_read(url, offset, size) -> bytes: exactly `size` bytes or an error.
PyObject* remote_read(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* url = nullptr;
    unsigned long long offset = 0;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "sKn:_remote_read", &url, &offset, &size)) return nullptr;
    if (size < 0) {
      PyErr_SetString(PyExc_ValueError, "size must not be negative");
      return nullptr;
    }
    auto source = without_gil([&] { return open_remote_source(url); });
    if (!source) return raise_io(source.error());
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!out) return nullptr;
    auto* data = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out.get()));
    // The bytes object is not shared until it is returned.
    if (auto r = without_gil([&] { return (*source)->read_exact(std::span(data, static_cast<std::size_t>(size)), offset); });
        !r)
      return raise_io(r.error());
    return out.release();
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"_remote_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remote_restore)), kFlags,
     "_remote_restore(url, mapping, verify=True)\n--\n\nRestore a snapshot from an s3:// or http(s):// URL."},
    {"_remote_stat", remote_stat, METH_VARARGS,
     "_remote_stat(url, /)\n--\n\nThe object's name in messages, its length and its ETag (or None)."},
    {"_remote_read", remote_read, METH_VARARGS,
     "_remote_read(url, offset, size, /)\n--\n\nExactly `size` bytes of the object from `offset`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* remote_methods() { return kMethods; }

}  // namespace vesk::py
