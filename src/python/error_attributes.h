// What kind of failure an exception is, as attributes beside its text:
// `vesk_error`, the innermost error variant's name ("ChecksumMismatch",
// "Io", "TruncatedTable", ...), and for I/O failures `io_kind` ("NotFound",
// "StorageFull", ...). Callers (the command line among them) decide by these,
// never by parsing messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "format/io_error_kind.h"
#include "format/manifest.h"
#include "pipeline/device_scope.h"
#include "pipeline/snapshot_reader.h"
#include "pipeline/types.h"

namespace vesk::py {

struct ErrorTag {
  std::string_view variant;
  std::optional<IoErrorKind> io_kind;
};

ErrorTag tag_of(const HeaderError& e);
ErrorTag tag_of(const RegionError& e);
ErrorTag tag_of(const SnapshotError& e);
ErrorTag tag_of(const BackendError& e);
ErrorTag tag_of(const RestoreError& e);
ErrorTag tag_of(const FreezeError& e);
ErrorTag tag_of(const ManifestError& e);
ErrorTag tag_of(const ReadError& e);
ErrorTag tag_of(const DeviceCheckError& e);
struct VeskPyError;
ErrorTag tag_of(const VeskPyError& e);

// Sets the attributes on the exception being raised; keeps it raised.
void tag_pending_exception(const ErrorTag& tag);

// Raises `err` as the module's runtime error ("vesk runtime error: " + its
// message) with its tag; returns null.
template <class E>
std::nullptr_t raise_error(const E& err);

}  // namespace vesk::py

#include "python/errors.h"

namespace vesk::py {

template <class E>
std::nullptr_t raise_error(const E& err) {
  raise(VeskPyError{VeskPyError::Runtime{err.message()}});
  tag_pending_exception(tag_of(err));
  return nullptr;
}

}  // namespace vesk::py
