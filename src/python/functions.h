// The six module functions; the module adds them by name (module.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <functional>
#include <span>

#include "pipeline/config.h"
#include "pipeline/types.h"

namespace vesk::py {

// Static definitions: they outlive every function object made from them.
std::span<PyMethodDef> module_functions();

// The end that every restore function shares, for the private ones: the
// mapping converted, checked and keyed, then `run(resolver, allocations)`
// on the regions' device, its statistics or error as the call's result.
using RestoreRunner =
    std::function<std::expected<RestoreStats, RestoreError>(const RegionResolver&, const DeviceAllocations*)>;
PyObject* restore_with_mapping(PyObject* mapping_obj, const RestoreRunner& run);

}  // namespace vesk::py
