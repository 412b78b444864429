#include "python/reader_functions.h"

#include <algorithm>
#include <optional>
#include <string>
#include <cstdint>
#include <vector>

#include "pipeline/snapshot_reader.h"
#include "python/error_attributes.h"
#include "python/errors.h"
#include "python/reader_source.h"

namespace vesk::py {
namespace {

char** keyword_list(const char** names) { return const_cast<char**>(names); }

// One column of the table as the bytes of a native array; Python views it
// with memoryview.cast, so a million rows cost bytes, not objects.
template <class T, class Field>
PyObject* column(const RegionTable& table, Field field) {
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(table.size() * sizeof(T))));
  if (!out) return nullptr;
  auto* at = reinterpret_cast<T*>(PyBytes_AS_STRING(out.get()));
  for (const RegionEntry& e : table) *at++ = static_cast<T>(field(e));
  return out.release();
}

// (kind, logical id, [table indices]) for every key given more than once.
PyObject* duplicate_keys(const RegionTable& table) {
  std::vector<std::pair<std::uint64_t, std::size_t>> keys;
  keys.reserve(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    const RegionEntry& e = table.entries()[i];
    keys.emplace_back((std::uint64_t{static_cast<std::uint32_t>(e.kind)} << 32) | e.logical_id, i);
  }
  std::sort(keys.begin(), keys.end());
  PyRef out = PyRef::steal(PyList_New(0));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i;
    while (j < keys.size() && keys[j].first == keys[i].first) ++j;
    if (j - i > 1) {
      PyRef indices = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(j - i)));
      if (!indices) return nullptr;
      for (std::size_t k = i; k < j; ++k) {
        PyObject* n = PyLong_FromSize_t(keys[k].second);
        if (!n) return nullptr;
        PyList_SET_ITEM(indices.get(), static_cast<Py_ssize_t>(k - i), n);
      }
      PyRef item = PyRef::steal(Py_BuildValue("(kkO)", static_cast<unsigned long>(keys[i].first >> 32),
                                              static_cast<unsigned long>(keys[i].first & 0xFFFFFFFFu), indices.get()));
      if (!item || PyList_Append(out.get(), item.get()) != 0) return nullptr;
    }
    i = j;
  }
  return out.release();
}

PyObject* layout_dict(const SnapshotLayout& layout) {
  const RegionTable& t = layout.table;
  std::uint64_t total = 0, end = HEADER_SIZE + REGION_ENTRY_SIZE * t.size();
  for (const RegionEntry& e : t) {
    total += e.size;
    end = std::max(end, e.file_offset + e.size);
  }
  PyRef kinds = PyRef::steal(column<std::uint32_t>(t, [](const RegionEntry& e) { return static_cast<std::uint32_t>(e.kind); }));
  PyRef ids = PyRef::steal(column<std::uint32_t>(t, [](const RegionEntry& e) { return e.logical_id; }));
  PyRef sizes = PyRef::steal(column<std::uint64_t>(t, [](const RegionEntry& e) { return e.size; }));
  PyRef offsets = PyRef::steal(column<std::uint64_t>(t, [](const RegionEntry& e) { return e.file_offset; }));
  PyRef crcs = PyRef::steal(column<std::uint32_t>(t, [](const RegionEntry& e) { return e.crc32c; }));
  PyRef dups = PyRef::steal(duplicate_keys(t));
  if (!kinds || !ids || !sizes || !offsets || !crcs || !dups) return nullptr;
  const auto& h = layout.header;
  return Py_BuildValue("{s:I,s:K,s:K,s:y#,s:K,s:K,s:K,s:O,s:O,s:O,s:O,s:O,s:O}", "version", h.version, "num_regions",
                       static_cast<unsigned long long>(h.num_regions), "region_table_offset",
                       static_cast<unsigned long long>(h.region_table_offset), "vllm_commit",
                       reinterpret_cast<const char*>(h.vllm_commit.data()), static_cast<Py_ssize_t>(h.vllm_commit.size()),
                       "file_size", static_cast<unsigned long long>(layout.length), "total_payload",
                       static_cast<unsigned long long>(total), "layout_size", static_cast<unsigned long long>(end),
                       "kinds", kinds.get(), "logical_ids", ids.get(), "sizes", sizes.get(), "offsets", offsets.get(),
                       "crc32cs", crcs.get(), "duplicates", dups.get());
}

PyObject* text(const std::string& s) { return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"); }

const char* kind_name(RegionKind kind) {
  return kind == RegionKind::Weights ? "weights" : kind == RegionKind::KvLiveBlock ? "kv_live_block" : "metadata";
}

// The last dtype's text and object: a manifest repeats a few dtypes, so
// the entries share one object for each run.
struct DtypeCache {
  std::string text;
  PyRef object;
};

PyObject* entry_tuple(const ManifestEntry& e, PyObject* entry_type, DtypeCache& dtypes) {
  PyRef shape = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(e.shape.size())));
  if (!shape) return nullptr;
  for (std::size_t i = 0; i < e.shape.size(); ++i) {
    PyObject* n = PyLong_FromUnsignedLongLong(e.shape[i]);
    if (!n) return nullptr;
    PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), n);
  }
  PyRef name = PyRef::steal(text(e.name));
  if (!dtypes.object || dtypes.text != e.dtype) {
    dtypes.object = PyRef::steal(text(e.dtype));
    dtypes.text = e.dtype;
  }
  PyRef dtype = dtypes.object ? PyRef::borrow(dtypes.object.get()) : PyRef();
  if (!name || !dtype) return nullptr;
  PyRef kind = PyRef::steal(PyUnicode_InternFromString(kind_name(e.kind)));
  PyRef id = PyRef::steal(PyLong_FromUnsignedLong(e.logical_id));
  PyRef nbytes = PyRef::steal(PyLong_FromUnsignedLongLong(e.nbytes));
  if (!kind || !id || !nbytes) return nullptr;
  // A tuple subclass is allocated as tuple.__new__ would, without running
  // its Python-level constructor.
  PyObject* row = entry_type == nullptr || entry_type == Py_None
                      ? PyTuple_New(6)
                      : reinterpret_cast<PyTypeObject*>(entry_type)->tp_alloc(reinterpret_cast<PyTypeObject*>(entry_type), 6);
  if (row == nullptr) return nullptr;
  PyObject* fields[] = {name.release(), kind.release(), id.release(), dtype.release(), shape.release(), nbytes.release()};
  for (Py_ssize_t k = 0; k < 6; ++k) PyTuple_SET_ITEM(row, k, fields[k]);
  return row;
}

PyObject* manifest_dict(const ManifestRegion& region, PyObject* entry_type) {
  const Manifest& m = region.manifest;
  PyRef entries = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(m.entries.size())));
  if (!entries) return nullptr;
  DtypeCache dtypes;
  for (std::size_t i = 0; i < m.entries.size(); ++i) {
    PyObject* item = entry_tuple(m.entries[i], entry_type, dtypes);
    if (!item) return nullptr;
    PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef annotations = PyRef::borrow(Py_None);
  if (m.annotations) {
    annotations = PyRef::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (const auto& [key, value] : *m.annotations) {
      PyRef k = PyRef::steal(text(key));
      PyRef v = PyRef::steal(text(value));
      if (!k || !v || PyDict_SetItem(annotations.get(), k.get(), v.get()) != 0) return nullptr;
    }
  }
  return Py_BuildValue("{s:I,s:O,s:O,s:y#}", "version", m.version, "entries", entries.get(), "annotations",
                       annotations.get(), "raw", reinterpret_cast<const char*>(region.raw.data()),
                       static_cast<Py_ssize_t>(region.raw.size()));
}

// Runs `body(source, layout)` on the object's source after reading its layout.
// `extra` is an optional third argument handed to the body (or null).
template <class Body>
PyObject* with_layout(const char* format, PyObject* args, PyObject* kwargs, Body&& body) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"source", "label", "entry_type", nullptr};
    PyObject *source_obj = nullptr, *label_obj = nullptr, *extra = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keyword_list(names), &source_obj, &label_obj, &extra))
      return nullptr;
    auto source = open_py_source(source_obj, label_obj);
    if (!source) return nullptr;
    auto layout = read_snapshot_layout(*source->source);
    if (!layout) return raise_error(layout.error());
    return body(*source->source, *layout, extra);
  });
}

PyObject* snapshot_layout(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_layout("O|OO:_snapshot_layout", args, kwargs,
                     [](const ByteSource&, const SnapshotLayout& layout, PyObject*) { return layout_dict(layout); });
}

PyObject* snapshot_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_layout("O|OO:_snapshot_manifest", args, kwargs,
                     [](const ByteSource& source, const SnapshotLayout& layout, PyObject* entry_type) -> PyObject* {
                       auto manifest = read_snapshot_manifest(source, layout.table);
                       if (!manifest) return raise_error(manifest.error());
                       if (!*manifest) Py_RETURN_NONE;
                       if (entry_type != nullptr && entry_type != Py_None && (!PyType_Check(entry_type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(entry_type), &PyTuple_Type))) {
                         PyErr_SetString(PyExc_TypeError, "entry_type must be a tuple subclass");
                         return nullptr;
                       }
                       return manifest_dict(**manifest, entry_type);
                     });
}

// _read_region(source, kind, logical_id, label=None) -> bytes
PyObject* read_one_region(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"source", "kind", "logical_id", "label", nullptr};
    PyObject *source_obj = nullptr, *label_obj = nullptr;
    unsigned int kind = 0, logical_id = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OII|O:_read_region", keyword_list(names), &source_obj, &kind,
                                     &logical_id, &label_obj)) {
      return nullptr;
    }
    auto source = open_py_source(source_obj, label_obj);
    if (!source) return nullptr;
    auto layout = read_snapshot_layout(*source->source);
    if (!layout) return raise_error(layout.error());
    const RegionEntry* entry = find_region(layout->table, RegionKey{static_cast<RegionKind>(kind), logical_id});
    if (entry == nullptr) {
      PyErr_Format(PyExc_KeyError, "no region of kind %u with logical id %u", kind, logical_id);
      return nullptr;
    }
    auto bytes = read_region(*source->source, *entry);
    if (!bytes) return raise_error(bytes.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()), static_cast<Py_ssize_t>(bytes->size()));
  });
}

// _verify(source, progress, label=None) -> dict; progress(bytes) is called
// after each piece read, and an exception from it (or a signal) ends the check.
PyObject* verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"source", "progress", "label", nullptr};
    PyObject *source_obj = nullptr, *progress_obj = nullptr, *label_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:_verify", keyword_list(names), &source_obj, &progress_obj,
                                     &label_obj)) {
      return nullptr;
    }
    auto source = open_py_source(source_obj, label_obj);
    if (!source) return nullptr;
    auto layout = read_snapshot_layout(*source->source);
    if (!layout) return raise_error(layout.error());
    auto report = verify_regions(*source->source, layout->table, [&](std::uint64_t n) {
      if (PyErr_CheckSignals() != 0) return false;
      PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(n));
      PyRef r = count ? PyRef::steal(PyObject_CallOneArg(progress_obj, count.get())) : PyRef();
      return static_cast<bool>(r);
    });
    if (!report) return raise_error(report.error());
    if (!*report) return nullptr;  // the progress callback's exception is pending
    auto& found = (*report)->mismatches;
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    PyRef mismatches = PyRef::steal(PyList_New(0));
    if (!mismatches) return nullptr;
    for (const VerifyMismatch& m : found) {
      PyRef item = PyRef::steal(Py_BuildValue("(nkk)", static_cast<Py_ssize_t>(m.index),
                                              static_cast<unsigned long>(m.recorded), static_cast<unsigned long>(m.computed)));
      if (!item || PyList_Append(mismatches.get(), item.get()) != 0) return nullptr;
    }
    return Py_BuildValue("{s:O,s:n,s:K}", "mismatches", mismatches.get(), "regions_checked",
                         static_cast<Py_ssize_t>((*report)->regions_checked), "bytes_checked",
                         static_cast<unsigned long long>((*report)->bytes_checked));
  });
}

std::optional<std::string> utf8_of(PyObject* obj, const char* what) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &len) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be str", what);
    return std::nullopt;
  }
  return std::string(text, static_cast<std::size_t>(len));
}

bool entry_from_tuple(PyObject* row, ManifestEntry& e) {
  unsigned long logical_id = 0;
  unsigned long long nbytes = 0;
  PyObject *name = nullptr, *kind = nullptr, *dtype = nullptr, *shape = nullptr;
  if (!PyArg_ParseTuple(row, "OOkOOK:manifest entry", &name, &kind, &logical_id, &dtype, &shape, &nbytes)) return false;
  auto name_text = utf8_of(name, "a name");
  auto kind_text = name_text ? utf8_of(kind, "a kind") : std::nullopt;
  auto dtype_text = kind_text ? utf8_of(dtype, "a dtype") : std::nullopt;
  if (!dtype_text) return false;
  if (*kind_text != "weights" && *kind_text != "kv_live_block" && *kind_text != "metadata") {
    PyErr_Format(PyExc_ValueError, "unknown region kind %R", kind);
    return false;
  }
  e.name = std::move(*name_text);
  e.kind = *kind_text == "weights" ? RegionKind::Weights : *kind_text == "kv_live_block" ? RegionKind::KvLiveBlock
                                                                                         : RegionKind::Metadata;
  e.logical_id = static_cast<std::uint32_t>(logical_id);
  e.dtype = std::move(*dtype_text);
  e.nbytes = nbytes;
  PyRef dims = PyRef::steal(PySequence_Tuple(shape));
  if (!dims) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(dims.get()); ++k) {
    e.shape.push_back(PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(dims.get(), k)));
    if (PyErr_Occurred()) return false;
  }
  return true;
}

// _encode_manifest(entries, annotations) -> bytes: the stored document for
// entries (name, kind, logical_id, dtype, shape, nbytes) and annotations (a
// dict of str to str, or None for a version 1 manifest).
PyObject* encode_manifest_bytes(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *entries = nullptr, *annotations = nullptr;
    if (!PyArg_ParseTuple(args, "O!O:_encode_manifest", &PyList_Type, &entries, &annotations)) return nullptr;
    Manifest m;
    m.entries.resize(static_cast<std::size_t>(PyList_GET_SIZE(entries)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
      if (!entry_from_tuple(PyList_GET_ITEM(entries, i), m.entries[static_cast<std::size_t>(i)])) return nullptr;
    }
    if (annotations != Py_None) {
      if (!PyDict_Check(annotations)) {
        PyErr_SetString(PyExc_TypeError, "annotations must map str to str");
        return nullptr;
      }
      m.annotations.emplace();
      PyObject *key = nullptr, *value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(annotations, &pos, &key, &value)) {
        auto k = PyUnicode_Check(key) ? utf8_of(key, "an annotation") : std::nullopt;
        auto v = k && PyUnicode_Check(value) ? utf8_of(value, "an annotation") : std::nullopt;
        if (!v) {
          if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "annotations must map str to str");
          return nullptr;
        }
        m.annotations->emplace_back(std::move(*k), std::move(*v));
      }
    }
    const std::string text = encode_manifest(m);
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"_snapshot_layout", as_cfunction<snapshot_layout>(), kFlags,
     "_snapshot_layout(source, label=None)\n--\n\nHeader fields and the region table as native columns."},
    {"_snapshot_manifest", as_cfunction<snapshot_manifest>(), kFlags,
     "_snapshot_manifest(source, label=None, entry_type=None)\n--\n\n"
     "The checked manifest, or None when the snapshot has none; entries as entry_type (a tuple subclass)."},
    {"_read_region", as_cfunction<read_one_region>(), kFlags,
     "_read_region(source, kind, logical_id, label=None)\n--\n\nOne region's bytes, checked against its CRC-32C."},
    {"_verify", as_cfunction<verify>(), kFlags,
     "_verify(source, progress, label=None)\n--\n\nRecompute every recorded CRC-32C."},
    {"_encode_manifest", encode_manifest_bytes, METH_VARARGS,
     "_encode_manifest(entries, annotations, /)\n--\n\nThe manifest document for entries and annotations (or None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* reader_methods() { return kMethods; }

}  // namespace vesk::py
