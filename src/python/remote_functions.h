// Private entry points for snapshots behind s3:// and http(s):// URLs,
// used by the vesk.remote module; module attributes with a leading
// underscore, outside __all__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk::py {

// Null-terminated method table: _remote_restore, _remote_stat, _remote_read.
PyMethodDef* remote_methods();

}  // namespace vesk::py
