// The package's few direct device calls (a small buffer for the named
// manifest, copies into it, a device-wide wait), through the module's one
// binding of the CUDA runtime. A failed call's status is read back out of
// the runtime's error slot at once, so that it cannot surface later in an
// unrelated call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk::py {

// Null-terminated, for PyModule_AddFunctions.
PyMethodDef* device_methods();

}  // namespace vesk::py
