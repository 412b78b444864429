// Host-only entry points for the command line (inspect, verify, bench).
// They are module attributes with a leading underscore, outside __all__,
// and touch no device: the six functions do not depend on them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk::py {

// Null-terminated method table: _crc32c, _runtime_path.
PyMethodDef* host_tool_methods();

}  // namespace vesk::py
