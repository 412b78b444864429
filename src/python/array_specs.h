// Device arrays read from their __cuda_array_interface__ in one native
// pass, so that naming a hundred thousand arrays costs what building the
// raw call's tuples costs: the pointer, byte size, dtype name, shape and
// read-only flag of each, or one error naming the first unusable array.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vesk::py {

// Null-terminated, for PyModule_AddFunctions.
PyMethodDef* array_spec_methods();

}  // namespace vesk::py
