#include "python/convert.h"

#include <algorithm>
#include <climits>

#include "python/py_ref.h"

namespace vesk::py {
namespace {

// "'{type}' object cannot be converted to '{target}'"
void raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

std::optional<std::string> utf8_of(PyObject* str) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &len);
  if (utf8 == nullptr) return std::nullopt;  // lone surrogates: UnicodeEncodeError
  return std::string(utf8, static_cast<std::size_t>(len));
}

}  // namespace

std::optional<std::string> to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return std::nullopt;
  }
  return utf8_of(obj);
}

std::optional<std::string> to_path(PyObject* obj) {
  auto text = to_text(obj);
  if (text && text->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "path contains an embedded null byte");
    return std::nullopt;
  }
  return text;
}

std::optional<std::optional<std::string>> to_optional_text(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string>{};
  auto text = to_text(obj);
  if (!text) return std::nullopt;
  return std::optional<std::string>{std::move(*text)};
}

std::optional<bool> to_bool(PyObject* obj) {
  if (!PyBool_Check(obj)) {
    raise_cannot_convert(obj, "PyBool");
    return std::nullopt;
  }
  return obj == Py_True;
}

std::optional<std::uint32_t> to_u32(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint64_t> to_u64(PyObject* obj) {
  // Plain ints, by far the common case, need no index conversion.
  if (PyLong_CheckExact(obj)) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

std::optional<std::uint64_t> to_chunk_size(PyObject* obj) {
  auto mb = to_u64(obj);
  if (!mb) return std::nullopt;
  // 2^44 MiB and more would wrap to a small (possibly zero) byte count and
  // restore with a chunk size nobody asked for.
  if (*mb >= (std::uint64_t{1} << 44)) {
    PyErr_Format(PyExc_OverflowError, "chunk_size_mb is too large: %llu MiB does not fit a 64-bit byte count",
                 static_cast<unsigned long long>(*mb));
    return std::nullopt;
  }
  return *mb << 20;
}

std::optional<RegionTuple> to_region_tuple(PyObject* obj) {
  if (!PyTuple_Check(obj)) {
    raise_cannot_convert(obj, "PyTuple");
    return std::nullopt;
  }
  const Py_ssize_t len = PyTuple_GET_SIZE(obj);
  if (len != 4) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 4, but got tuple of length %zd", len);
    return std::nullopt;
  }
  auto kind = to_text(PyTuple_GET_ITEM(obj, 0));
  if (!kind) return std::nullopt;
  auto logical_id = to_u32(PyTuple_GET_ITEM(obj, 1));
  if (!logical_id) return std::nullopt;
  auto ptr = to_u64(PyTuple_GET_ITEM(obj, 2));
  if (!ptr) return std::nullopt;
  auto size = to_u64(PyTuple_GET_ITEM(obj, 3));
  if (!size) return std::nullopt;
  return RegionTuple{std::move(*kind), *logical_id, *ptr, *size};
}

std::optional<std::vector<RegionTuple>> to_region_tuples(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return std::nullopt;
  }
  std::vector<RegionTuple> tuples;
  // The length only sizes the result; a sequence without one is still read.
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    tuples.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    auto tuple = to_region_tuple(item.get());
    if (!tuple) return std::nullopt;
    tuples.push_back(std::move(*tuple));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return tuples;
}

std::expected<RegionKind, VeskPyError> parse_region_kind(std::string_view text) {
  if (text == "weights") return RegionKind::Weights;
  if (text == "kv_live_block") return RegionKind::KvLiveBlock;
  if (text == "metadata") return RegionKind::Metadata;
  return std::unexpected(VeskPyError{VeskPyError::UnknownRegionKind{std::string(text)}});
}

std::expected<std::optional<VllmCommit>, VeskPyError> parse_vllm_commit(const std::optional<std::string>& text) {
  if (!text) return std::optional<VllmCommit>{};
  VllmCommit commit{};
  if (text->size() != commit.size()) {
    return std::unexpected(VeskPyError{VeskPyError::InvalidVllmCommit{text->size()}});
  }
  std::copy(text->begin(), text->end(), commit.begin());
  return std::optional<VllmCommit>{commit};
}

std::expected<std::vector<FreezeRequest>, VeskPyError> build_freeze_requests(std::vector<RegionTuple> tuples) {
  std::vector<FreezeRequest> requests;
  requests.reserve(tuples.size());
  for (RegionTuple& t : tuples) {
    auto kind = parse_region_kind(t.kind);
    if (!kind) return std::unexpected(kind.error());
    std::string().swap(t.kind);  // the text is not needed any more
    requests.push_back(FreezeRequest{*kind, t.logical_id, DeviceRegion{DevicePtr{t.ptr}, t.size}});
  }
  return requests;
}

std::expected<RestoreMap, VeskPyError> build_restore_map(std::vector<RegionTuple> tuples) {
  RestoreMap map;
  map.reserve(tuples.size());
  for (RegionTuple& t : tuples) {
    auto kind = parse_region_kind(t.kind);
    if (!kind) return std::unexpected(kind.error());
    std::string().swap(t.kind);
    // A key given twice keeps its last region.
    map.insert_or_assign(RegionKey{*kind, t.logical_id}, DeviceRegion{DevicePtr{t.ptr}, t.size});
  }
  return map;
}

RegionResolver resolver_for(const RestoreMap& map) {
  return [&map](RegionKind kind, std::uint32_t logical_id) -> std::optional<DeviceRegion> {
    auto it = map.find(RegionKey{kind, logical_id});
    if (it == map.end()) return std::nullopt;
    return it->second;
  };
}

}  // namespace vesk::py
