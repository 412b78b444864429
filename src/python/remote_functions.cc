#include "python/remote_functions.h"

#include <cstdint>
#include <string>

#include <algorithm>
#include <numeric>
#include <vector>

#include "pipeline/config.h"
#include "pipeline/crc32c.h"
#include "pipeline/prelude_reader.h"
#include "pipeline/error_wrap.h"
#include "pipeline/restore_file.h"
#include "python/backend.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/functions.h"
#include "python/host_tools.h"
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
    return restore_with_mapping(mapping_obj, [&](const RegionResolver& resolve)
                                                 -> std::expected<RestoreStats, RestoreError> {
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

// _remote_prelude(url) -> what _read_prelude returns for a file.
PyObject* remote_prelude(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* url = nullptr;
    if (!PyArg_ParseTuple(args, "s:_remote_prelude", &url)) return nullptr;
    auto prelude = without_gil([&]() -> std::expected<FilePrelude, SnapshotError> {
      auto source = open_remote_source(url);
      if (!source) return std::unexpected(SnapshotError::from_io(source.error()));
      return read_snapshot_prelude(**source);
    });
    return prelude_result(prelude);
  });
}

// Bytes read at once by _remote_region_crcs: one staging chunk's worth.
constexpr std::uint64_t kCrcWindow = std::uint64_t{64} << 20;

// Each region's CRC-32C in table order, its bytes read once where regions
// lie in file order: a window of the object is read in parallel ranges and
// refilled where a region goes past it.
std::expected<std::vector<std::uint32_t>, IoError> region_crcs(const ByteSource& source,
                                                               const RegionTable& table) {
  const std::vector<RegionEntry> entries(table.begin(), table.end());
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, {}, [&](std::size_t i) { return entries[i].file_offset; });
  std::vector<std::byte> window;
  std::uint64_t w_start = 0, w_len = 0;
  std::vector<std::uint32_t> out(entries.size());
  for (std::size_t i : order) {
    std::uint32_t crc = 0;
    std::uint64_t pos = entries[i].file_offset;
    const std::uint64_t end = pos + entries[i].size;
    while (pos < end) {
      if (pos < w_start || pos >= w_start + w_len) {
        if (pos >= source.length())
          return std::unexpected(IoError::custom(IoErrorKind::UnexpectedEof,
                                                 source.label() + ": a region runs past the end of the object"));
        w_start = pos;
        w_len = std::min(kCrcWindow, source.length() - pos);
        window.resize(static_cast<std::size_t>(w_len));
        if (auto r = source.read_exact(window, w_start); !r) return std::unexpected(r.error());
      }
      const std::uint64_t n = std::min(end, w_start + w_len) - pos;
      crc = crc32c_append_parallel(crc, std::span(window).subspan(static_cast<std::size_t>(pos - w_start),
                                                                   static_cast<std::size_t>(n)));
      pos += n;
    }
    out[i] = crc;
  }
  return out;
}

// _remote_region_crcs(url) -> [crc32c of each region's bytes, in table order]
PyObject* remote_region_crcs(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* url = nullptr;
    if (!PyArg_ParseTuple(args, "s:_remote_region_crcs", &url)) return nullptr;
    std::string failure;
    auto crcs = without_gil([&]() -> std::optional<std::vector<std::uint32_t>> {
      auto source = open_remote_source(url);
      if (!source) {
        failure = io_err<RestoreError>(source.error()).message();
        return std::nullopt;
      }
      auto prelude = read_snapshot_prelude(**source);
      if (!prelude) {
        failure = RestoreError{RestoreError::Snapshot{prelude.error()}}.message();
        return std::nullopt;
      }
      auto r = region_crcs(**source, prelude->snapshot.table);
      if (!r) {
        failure = io_err<RestoreError>(r.error()).message();
        return std::nullopt;
      }
      return std::move(*r);
    });
    if (!crcs) return raise(VeskPyError{VeskPyError::Runtime{failure}});
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(crcs->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < crcs->size(); ++i) {
      PyObject* v = PyLong_FromUnsignedLong((*crcs)[i]);
      if (!v) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"_remote_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remote_restore)), kFlags,
     "_remote_restore(url, mapping, verify=True)\n--\n\nRestore a snapshot from an s3:// or http(s):// URL."},
    {"_remote_stat", remote_stat, METH_VARARGS,
     "_remote_stat(url)\n--\n\nThe object's name in messages, its length and its ETag (or None)."},
    {"_remote_read", remote_read, METH_VARARGS,
     "_remote_read(url, offset, size)\n--\n\nExactly `size` bytes of the object from `offset`."},
    {"_remote_prelude", remote_prelude, METH_VARARGS,
     "_remote_prelude(url)\n--\n\nRead and check a remote snapshot's header and region table, as _read_prelude."},
    {"_remote_region_crcs", remote_region_crcs, METH_VARARGS,
     "_remote_region_crcs(url)\n--\n\nCRC-32C of every region's bytes of a remote snapshot, in table order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* remote_methods() { return kMethods; }

}  // namespace vesk::py
