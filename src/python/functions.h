// The six module functions; the module adds them by name (module.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace vesk::py {

// Static definitions: they outlive every function object made from them.
std::span<PyMethodDef> module_functions();

}  // namespace vesk::py
