// The reader's private functions for the Python package (the named API,
// the loaders, the command line): layout, manifest, one region, a check of
// every checksum. None needs a device.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk::py {

// Null-terminated, for PyModule_AddFunctions.
PyMethodDef* reader_methods();

}  // namespace vesk::py
