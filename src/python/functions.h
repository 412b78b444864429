// The six module functions, in the order the module adds them (the class
// PinnedMmap sits between the fifth and the sixth).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace vesk::py {

// Static definitions: they outlive every function object made from them.
std::span<PyMethodDef> module_functions();

}  // namespace vesk::py
