#include "python/error_attributes.h"

#include "python/py_ref.h"

namespace vesk::py {
namespace {

template <std::size_t N>
ErrorTag leaf(const char* const (&names)[N], std::size_t index) {
  return ErrorTag{index < N ? names[index] : "Unknown", std::nullopt};
}

bool set_text(PyObject* exc, const char* attribute, std::string_view text) {
  PyRef value = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  return value && PyObject_SetAttrString(exc, attribute, value.get()) == 0;
}

}  // namespace

ErrorTag tag_of(const HeaderError& e) {
  static const char* const names[] = {"TooShort", "BadMagic", "UnsupportedVersion"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const RegionError& e) {
  static const char* const names[] = {"TooShort", "UnknownKind"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const SnapshotError& e) {
  if (const auto* h = std::get_if<SnapshotError::Header>(&e.v)) return tag_of(h->inner);
  if (const auto* r = std::get_if<SnapshotError::Region>(&e.v)) return tag_of(r->inner);
  if (const auto* io = std::get_if<SnapshotError::Io>(&e.v)) return ErrorTag{"Io", io->kind};
  static const char* const names[] = {"Header", "Region", "TruncatedTable", "OffsetOverflow", "Io", "UnsupportedLayout"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const BackendError& e) {
  static const char* const names[] = {"AllocationFailed", "SizeMismatch", "Cuda"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const RestoreError& e) {
  if (const auto* s = std::get_if<RestoreError::Snapshot>(&e.v)) return tag_of(s->inner);
  if (const auto* b = std::get_if<RestoreError::Backend>(&e.v)) return tag_of(b->inner);
  static const char* const names[] = {"Snapshot",           "Backend",          "UnmappedRegion", "DeviceSizeMismatch",
                                      "PayloadOutOfBounds", "ChecksumMismatch", "InvalidConfig"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const FreezeError& e) {
  if (const auto* b = std::get_if<FreezeError::Backend>(&e.v)) return tag_of(b->inner);
  if (const auto* s = std::get_if<FreezeError::Snapshot>(&e.v)) return tag_of(s->inner);
  static const char* const names[] = {"Backend", "Snapshot", "InvalidConfig", "DuplicateRegion"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const ManifestError& e) {
  static const char* const names[] = {"MalformedManifest", "ManifestTooLarge", "ManifestTableMismatch"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const ReadError& e) {
  if (const auto* r = std::get_if<ReadError::Restore>(&e.v)) return tag_of(r->inner);
  return tag_of(std::get<ReadError::Manifest>(e.v).inner);
}

ErrorTag tag_of(const VeskPyError& e) {
  static const char* const names[] = {"UnknownRegionKind", "InvalidVllmCommit", "Runtime"};
  return leaf(names, e.v.index());
}

ErrorTag tag_of(const DeviceCheckError& e) {
  if (const auto* b = std::get_if<DeviceCheckError::Backend>(&e.v)) return tag_of(b->inner);
  static const char* const names[] = {"NotDevice", "SeveralDevices", "Backend"};
  return leaf(names, e.v.index());
}

void tag_pending_exception(const ErrorTag& tag) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  // A failure to attach is dropped: the original error matters more.
  const bool ok = set_text(exc, "vesk_error", tag.variant) &&
                  (tag.io_kind ? set_text(exc, "io_kind", io_error_kind_name(*tag.io_kind))
                               : PyObject_SetAttrString(exc, "io_kind", Py_None) == 0);
  if (!ok) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

}  // namespace vesk::py
