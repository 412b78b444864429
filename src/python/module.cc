// The extension module's entry point. The module object is made once per
// process and shared by every later import in the same interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string_view>

#include "python/array_specs.h"
#include "python/device_functions.h"
#include "python/errors.h"
#include "python/functions.h"
#include "python/host_tools.h"
#include "python/remote_functions.h"
#include "python/pinned_mmap.h"
#include "python/reader_functions.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

constexpr const char* kModuleDoc =
    "Registration of the vesk Python module: freezes GPU memory regions into snapshot files and restores them.\n"
    "It is wired up as the extension module's entry point (PyInit_vesk), adding six functions\n"
    "and the PinnedMmap class; every failure is raised as a Python exception.";

// m_size 0, not -1: for -1 the interpreter keeps a copy of the module's
// dictionary and hands it to a later import in a sub-interpreter without
// calling PyInit_vesk, which would skip the interpreter check below.
PyModuleDef g_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk",
    .m_doc = kModuleDoc,
    .m_size = 0,
};

// Both live for the rest of the process once set; the interpreter lock
// serialises every access.
std::int64_t g_first_interpreter = -1;
PyObject* g_module = nullptr;

// Sets `name` on the module and appends it to __all__ (made on first use),
// so that __all__ lists the entries in the order they were added.
bool add_entry(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list || PyDict_SetItemString(dict, "__all__", list.get()) != 0) return false;
    all = list.get();  // the module dict keeps it alive
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all, key.get()) != 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, module_name));
  return function && add_entry(module, def.ml_name, function.get());
}

// The public contents, in the order __all__ lists them: the six functions
// by their names in module_functions(), and the class.
constexpr std::string_view kPinnedMmapName = "PinnedMmap";
constexpr std::string_view kPublicNames[] = {
    "freeze_to_file_pipelined",
    "restore_from_file_pipelined",
    "restore_from_bytes_pipelined",
    "restore_from_bytes_auto",
    "restore_from_bytes_pipelined_zerocopy",
    kPinnedMmapName,
    "restore_from_pinned_mmap",
};

PyMethodDef* find_function(std::string_view name) {
  for (PyMethodDef& def : module_functions()) {
    if (name == def.ml_name) return &def;
  }
  return nullptr;
}

bool add_public_entry(PyObject* module, PyObject* module_name, std::string_view name) {
  if (name == kPinnedMmapName) {
    return add_entry(module, kPinnedMmapName.data(), reinterpret_cast<PyObject*>(pinned_mmap_type()));
  }
  PyMethodDef* def = find_function(name);
  if (def == nullptr) {
    PyErr_Format(PyExc_SystemError, "vesk: no module function named %s", name.data());
    return false;
  }
  return add_function(module, module_name, *def);
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  // Functions report "vesk" as their module, also when the extension is
  // loaded as the package's submodule vesk.vesk.
  PyRef module_name = PyRef::steal(PyUnicode_FromString("vesk"));
  if (!module_name) return nullptr;
  if (std::size(kPublicNames) != module_functions().size() + 1) {
    PyErr_SetString(PyExc_SystemError, "vesk: the public names do not list every module function");
    return nullptr;
  }
  for (std::string_view name : kPublicNames) {
    if (!add_public_entry(module.get(), module_name.get(), name)) return nullptr;
  }
  // Host-only helpers of the command line: underscored and outside __all__.
  if (PyModule_AddFunctions(module.get(), host_tool_methods()) != 0) return nullptr;
  if (PyModule_AddFunctions(module.get(), reader_methods()) != 0) return nullptr;
  if (PyModule_AddFunctions(module.get(), device_methods()) != 0) return nullptr;
  if (PyModule_AddFunctions(module.get(), array_spec_methods()) != 0) return nullptr;
  if (PyModule_AddFunctions(module.get(), remote_methods()) != 0) return nullptr;
  return module.release();
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "vesk: cannot read the current interpreter's id");
    return nullptr;
  }
  if (g_first_interpreter == -1) {
    g_first_interpreter = id;
  } else if (g_first_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vesk does not support sub-interpreters: it can only be imported in the interpreter that "
                    "first imported it");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  // The CUDA runtime is bound by the first call that needs the device
  // (python/backend.h), so that importing needs none.
  if (!ensure_internal_error_class()) return nullptr;
  if (!ready_pinned_mmap_type()) return nullptr;
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;  // a later import starts again
  g_module = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace vesk::py

PyMODINIT_FUNC PyInit_vesk(void) {
  return vesk::py::guarded([] { return vesk::py::init_module(); });
}
