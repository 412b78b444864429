#include "python/array_specs.h"

#include <cstdint>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/errors.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

// Type strings with the dtype names PyTorch and NumPy use, so that a
// snapshot written from one framework reads in another; '<' and '|' are
// little-endian or byte-sized, anything else is kept verbatim.
constexpr std::pair<std::string_view, std::string_view> kTypestrNames[] = {
    {"b1", "bool"},    {"i1", "int8"},    {"i2", "int16"},   {"i4", "int32"},      {"i8", "int64"},
    {"u1", "uint8"},   {"u2", "uint16"},  {"u4", "uint32"},  {"u8", "uint64"},     {"f2", "float16"},
    {"f4", "float32"}, {"f8", "float64"}, {"c8", "complex64"}, {"c16", "complex128"},
};

std::string_view dtype_name(std::string_view typestr) {
  if (!typestr.empty() && (typestr[0] == '<' || typestr[0] == '|')) {
    for (const auto& [code, name] : kTypestrNames) {
      if (typestr.substr(1) == code) return name;
    }
  }
  return typestr;
}

std::optional<std::uint64_t> itemsize_of(std::string_view typestr) {
  if (typestr.size() < 3 || std::string_view("<>|=").find(typestr[0]) == std::string_view::npos) return std::nullopt;
  std::uint64_t size = 0;
  for (char c : typestr.substr(2)) {
    if (c < '0' || c > '9' || size > (std::uint64_t{1} << 32)) return std::nullopt;
    size = size * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (size == 0) return std::nullopt;
  return size;
}

// A refusal: the message and the class it is raised as.
struct Refusal {
  PyObject* type;
  std::string message;
};

std::string repr_of(PyObject* obj) {
  PyRef r = PyRef::steal(PyObject_Repr(obj));
  const char* text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return text;
}

std::string str_of(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  const char* text = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return text;
}

struct Parsed {
  std::uint64_t ptr = 0;
  std::uint64_t nbytes = 0;
  std::string_view dtype;
  PyRef shape;
  bool readonly = false;
  PyRef typestr;  // keeps `dtype` alive when it is the verbatim text
};

// The interface dictionary's fields; a refusal's message is the detail
// after "unusable __cuda_array_interface__: ".
// The interface's keys, made once: a lookup per field per array must not
// build its key string each time.
PyObject* interned(const char* key) {
  PyObject* text = PyUnicode_InternFromString(key);
  if (text == nullptr) throw std::bad_alloc();
  return text;  // kept for the process
}

std::optional<std::string> parse_fields(PyObject* iface, Parsed& out, std::uint64_t& itemsize, PyRef& strides) {
  enum Key { kVersion, kShape, kTypestr, kData, kMask, kStrides };
  static PyObject* const keys[] = {interned("version"), interned("shape"), interned("typestr"),
                                   interned("data"),    interned("mask"),  interned("strides")};
  // A key missing, or one whose lookup fails (an unhashable subclass key), reads as absent.
  auto get = [&](Key key) {
    PyRef value = PyRef::borrow(PyDict_GetItemWithError(iface, keys[key]));
    PyErr_Clear();
    return value;
  };
  PyRef version = get(kVersion);
  const long v = version && PyLong_Check(version.get()) ? PyLong_AsLong(version.get()) : -1;
  if (v != 2 && v != 3) {
    PyErr_Clear();
    return "version " + (version ? repr_of(version.get()) : std::string("None")) + " is not supported (2 or 3)";
  }
  PyRef shape_obj = get(kShape);
  if (!shape_obj) return std::string("missing 'shape'");
  out.shape = PyRef::steal(PySequence_Tuple(shape_obj.get()));
  if (!out.shape) {
    PyErr_Clear();
    return "shape " + repr_of(shape_obj.get()) + " is not a tuple of non-negative integers";
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(out.shape.get()); ++i) {
    PyObject* n = PyTuple_GET_ITEM(out.shape.get(), i);
    if (!PyLong_Check(n) || PyLong_AsLongLong(n) < 0 || PyErr_Occurred()) {
      PyErr_Clear();
      return "shape " + repr_of(out.shape.get()) + " is not a tuple of non-negative integers";
    }
  }
  out.typestr = get(kTypestr);
  if (!out.typestr) return std::string("missing 'typestr'");
  if (!PyUnicode_Check(out.typestr.get())) return "typestr " + repr_of(out.typestr.get()) + " is not a string";
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(out.typestr.get(), &len);
  if (text == nullptr) {
    PyErr_Clear();
    return "typestr " + repr_of(out.typestr.get()) + " is not a valid array type";
  }
  const std::string_view typestr(text, static_cast<std::size_t>(len));
  auto size = itemsize_of(typestr);
  if (!size) return "typestr " + repr_of(out.typestr.get()) + " is not a valid array type";
  itemsize = *size;
  out.dtype = dtype_name(typestr);
  PyRef data = get(kData);
  if (!data) return std::string("missing 'data'");
  if (!PyTuple_Check(data.get()) && !PyList_Check(data.get())) return "data " + repr_of(data.get()) + " is not a (pointer, read-only) pair";
  PyRef pair = PyRef::steal(PySequence_Tuple(data.get()));
  if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_Clear();
    return "data " + repr_of(data.get()) + " is not a (pointer, read-only) pair";
  }
  PyObject* ptr = PyTuple_GET_ITEM(pair.get(), 0);
  out.ptr = PyLong_Check(ptr) ? PyLong_AsUnsignedLongLong(ptr) : 0;
  if (!PyLong_Check(ptr) || PyErr_Occurred()) {
    PyErr_Clear();
    return "data pointer " + repr_of(ptr) + " is not an address";
  }
  const int readonly = PyObject_IsTrue(PyTuple_GET_ITEM(pair.get(), 1));
  if (readonly < 0) {
    PyErr_Clear();
    return "data " + repr_of(data.get()) + " is not a (pointer, read-only) pair";
  }
  out.readonly = readonly != 0;
  PyRef mask = get(kMask);
  if (mask && mask.get() != Py_None) return std::string("masked arrays are not supported");
  strides = get(kStrides);
  return std::nullopt;
}

// C order: a dimension of extent 1 is never stepped over, whatever its stride.
bool c_contiguous(PyObject* shape, PyObject* strides, std::uint64_t itemsize) {
  const Py_ssize_t n = PyTuple_GET_SIZE(shape);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyLong_AsLongLong(PyTuple_GET_ITEM(shape, i)) == 0) return true;
  }
  long long expected = static_cast<long long>(itemsize);
  const Py_ssize_t m = PyTuple_GET_SIZE(strides);
  for (Py_ssize_t k = 1; k <= std::min(n, m); ++k) {
    const long long extent = PyLong_AsLongLong(PyTuple_GET_ITEM(shape, n - k));
    PyObject* step_obj = PyTuple_GET_ITEM(strides, m - k);
    const long long step = PyLong_Check(step_obj) ? PyLong_AsLongLong(step_obj) : -1;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (extent != 1 && step != expected) return false;
    if (extent != 0 && expected > std::numeric_limits<long long>::max() / extent) return false;
    expected *= extent;
  }
  return true;
}

// The array's description (ptr, nbytes, dtype, shape, readonly), or null with the
// refusal raised. `label` names the array in every message.
template <class Label>
PyObject* spec_of(const Label& make_label, PyObject* obj, PyObject* spec_type) {
  static PyObject* const attribute = interned("__cuda_array_interface__");
  PyRef iface = PyRef::steal(PyObject_GetAttr(obj, attribute));
  if (!iface) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
      const char* type_name = name ? PyUnicode_AsUTF8(name.get()) : "object";
      PyErr_Format(PyExc_TypeError, "%s: %s is not a device array (no __cuda_array_interface__)", make_label().c_str(),
                   type_name ? type_name : "object");
      return nullptr;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;  // KeyboardInterrupt and the like
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "%s: cannot read its __cuda_array_interface__: %s", make_label().c_str(), str_of(cause).c_str());
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  Parsed parsed;
  std::uint64_t itemsize = 1;
  PyRef strides;
  std::optional<std::string> problem =
      PyDict_Check(iface.get()) ? parse_fields(iface.get(), parsed, itemsize, strides) : std::string("it is not a dict");
  if (problem) {
    PyErr_Format(PyExc_TypeError, "%s: unusable __cuda_array_interface__: %s", make_label().c_str(), problem->c_str());
    return nullptr;
  }
  if (strides && strides.get() != Py_None) {
    PyRef tuple = PyRef::steal(PySequence_Tuple(strides.get()));
    if (!tuple) return nullptr;
    if (!c_contiguous(parsed.shape.get(), tuple.get(), itemsize)) {
      PyErr_Format(PyExc_ValueError, "%s: the array is not C-contiguous (strides %s); pass a contiguous copy",
                   make_label().c_str(), repr_of(tuple.get()).c_str());
      return nullptr;
    }
  }
  std::uint64_t nbytes = itemsize;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parsed.shape.get()); ++i) {
    const auto extent = static_cast<std::uint64_t>(PyLong_AsLongLong(PyTuple_GET_ITEM(parsed.shape.get(), i)));
    if (extent != 0 && nbytes > std::numeric_limits<std::uint64_t>::max() / extent) {
      PyErr_Format(PyExc_ValueError, "%s: the array's size overflows 64 bits", make_label().c_str());
      return nullptr;
    }
    nbytes *= extent;
  }
  if (nbytes != 0 && parsed.ptr == 0) {
    PyErr_Format(PyExc_ValueError, "%s: null data pointer", make_label().c_str());
    return nullptr;
  }
  // The known dtype names are interned once; a verbatim type string is its own name.
  PyRef dtype = PyRef::borrow(parsed.typestr.get());
  static PyObject* names[std::size(kTypestrNames)] = {};
  for (std::size_t k = 0; k < std::size(kTypestrNames); ++k) {
    if (kTypestrNames[k].second.data() != parsed.dtype.data()) continue;
    if (names[k] == nullptr) names[k] = interned(std::string(kTypestrNames[k].second).c_str());  // kept for the process
    dtype = PyRef::borrow(names[k]);
  }
  PyRef ptr = PyRef::steal(PyLong_FromUnsignedLongLong(parsed.ptr));
  PyRef size = PyRef::steal(PyLong_FromUnsignedLongLong(nbytes));
  if (!dtype || !ptr || !size) return nullptr;
  PyRef fields = PyRef::steal(PyTuple_Pack(5, ptr.get(), size.get(), dtype.get(), parsed.shape.get(),
                                           parsed.readonly ? Py_True : Py_False));
  PyRef args = fields ? PyRef::steal(PyTuple_Pack(1, fields.get())) : PyRef();
  if (!args) return nullptr;
  // tuple.__new__(spec_type, fields): the named tuple made without running
  // its Python-level constructor.
  return PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject*>(spec_type), args.get(), nullptr);
}

// _array_specs(kind, items, spec_type, special_type, special) -> list of
// ((kind, name), description). `items` is a list of (name, object); an object that
// is a `spec_type` already is kept, one of `special_type` (PyTorch's tensor
// class, or None) goes to `special(label, obj)`.
PyObject* array_specs(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *kind = nullptr, *items = nullptr, *spec_type = nullptr, *special_type = nullptr, *special = nullptr;
    if (!PyArg_ParseTuple(args, "UO!OOO:_array_specs", &kind, &PyList_Type, &items, &spec_type, &special_type,
                          &special)) {
      return nullptr;
    }
    if (!PyType_Check(spec_type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(spec_type), &PyTuple_Type)) {
      PyErr_SetString(PyExc_TypeError, "spec_type must be a tuple subclass");
      return nullptr;
    }
    const char* kind_text = PyUnicode_AsUTF8(kind);
    if (kind_text == nullptr) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items);
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(items, i);
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_SetString(PyExc_TypeError, "items must be (name, array) pairs");
        return nullptr;
      }
      PyObject* name = PyTuple_GET_ITEM(item, 0);
      PyObject* obj = PyTuple_GET_ITEM(item, 1);
      if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s: names must be str, got %s", kind_text, repr_of(name).c_str());
        return nullptr;
      }
      // Made only for a message or a tensor: repr of a hundred thousand names costs.
      auto label = [&] { return std::string(kind_text) + " " + repr_of(name); };
      PyRef spec;
      if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(spec_type))) {
        spec = PyRef::borrow(obj);
      } else if (special_type != Py_None && PyObject_IsInstance(obj, special_type) == 1) {
        const std::string made = label();
        PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(made.data(), static_cast<Py_ssize_t>(made.size())));
        if (!text) return nullptr;
        spec = PyRef::steal(PyObject_CallFunctionObjArgs(special, text.get(), obj, nullptr));
      } else {
        spec = PyRef::steal(spec_of(label, obj, spec_type));
      }
      if (!spec) return nullptr;
      PyRef key = PyRef::steal(PyTuple_Pack(2, kind, name));
      PyObject* pair = key ? PyTuple_Pack(2, key.get(), spec.get()) : nullptr;
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), i, pair);
    }
    return out.release();
  });
}

// _matched_mapping(entries, specs) -> list | None: the restore mapping
// (kind, logical id, ptr, nbytes) when every manifest entry (name, kind,
// logical_id, dtype, shape, nbytes) has a writable array (ptr, nbytes, dtype,
// shape, readonly) of exactly its dtype, shape and size under (kind, name),
// and no array is left over; None otherwise, for the caller to say why.
PyObject* matched_mapping(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *entries = nullptr, *specs = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:_matched_mapping", &PyList_Type, &entries, &PyDict_Type, &specs)) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(entries);
    if (PyDict_GET_SIZE(specs) != n) Py_RETURN_NONE;
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out) return nullptr;
    auto same = [](PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); };
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* e = PyList_GET_ITEM(entries, i);
      if (!PyTuple_Check(e) || PyTuple_GET_SIZE(e) != 6) {
        PyErr_SetString(PyExc_TypeError, "manifest entries must be 6-tuples");
        return nullptr;
      }
      PyRef key = PyRef::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(e, 1), PyTuple_GET_ITEM(e, 0)));
      if (!key) return nullptr;
      PyObject* spec = PyDict_GetItemWithError(specs, key.get());  // borrowed
      if (spec == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
      }
      if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) != 5) Py_RETURN_NONE;
      const int readonly = PyObject_IsTrue(PyTuple_GET_ITEM(spec, 4));
      const int size_ok = same(PyTuple_GET_ITEM(spec, 1), PyTuple_GET_ITEM(e, 5));
      const int dtype_ok = size_ok == 1 ? same(PyTuple_GET_ITEM(spec, 2), PyTuple_GET_ITEM(e, 3)) : size_ok;
      const int shape_ok = dtype_ok == 1 ? same(PyTuple_GET_ITEM(spec, 3), PyTuple_GET_ITEM(e, 4)) : dtype_ok;
      if (readonly < 0 || shape_ok < 0) return nullptr;
      if (readonly || !shape_ok) Py_RETURN_NONE;
      PyObject* row = PyTuple_Pack(4, PyTuple_GET_ITEM(e, 1), PyTuple_GET_ITEM(e, 2), PyTuple_GET_ITEM(spec, 0),
                                   PyTuple_GET_ITEM(e, 5));
      if (row == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), i, row);
    }
    return out.release();
  });
}

PyMethodDef kMethods[] = {
    {"_matched_mapping", matched_mapping, METH_VARARGS,
     "_matched_mapping(entries, specs, /)\n--\n\nThe restore mapping when every array matches its entry, else None."},
    {"_array_specs", array_specs, METH_VARARGS,
     "_array_specs(kind, items, spec_type, special_type, special, /)\n--\n\n"
     "Each (name, array) read from its __cuda_array_interface__ as a spec_type."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* array_spec_methods() { return kMethods; }

}  // namespace vesk::py
