// A Python object as a ByteSource: a path (str, bytes-free path-like) is
// opened as a file; a PinnedMmap or any buffer (bytes, bytearray, mmap,
// memoryview) is read in place, and kept exported while the source lives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "io/byte_source.h"
#include "python/buffer_view.h"
#include "python/py_ref.h"

namespace vesk::py {

struct PySource {
  PyRef owner;                        // the PinnedMmap, held for the call
  std::unique_ptr<BufferView> view;   // a buffer's export, released last
  std::unique_ptr<ByteSource> source;
};

// Null with an exception set (tagged as the reader's errors are) when the
// object is no source or the file cannot be opened. `label`, when not
// null, names the source in messages instead of its path.
std::unique_ptr<PySource> open_py_source(PyObject* obj, PyObject* label);

}  // namespace vesk::py
