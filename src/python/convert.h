// Python arguments into the runtime's types. The to_* functions are the
// generic, Python-level conversions: they return nothing with a Python
// exception set, and the caller adds the argument name (convert_arg). The
// parse_* and build_* steps run afterwards on the converted values and
// report VeskPyError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend/types.h"
#include "format/header.h"
#include "format/region.h"
#include "pipeline/types.h"
#include "python/errors.h"

namespace vesk::py {

// (kind text, logical id, device pointer, size) after the Python-level
// conversion; the kind is examined later.
struct RegionTuple {
  std::string kind;
  std::uint32_t logical_id;
  std::uint64_t ptr;
  std::uint64_t size;
};

std::optional<std::string> to_text(PyObject* obj);
// A text that names a file: a NUL inside it would silently cut the name
// short at the system call, so it is refused with ValueError.
std::optional<std::string> to_path(PyObject* obj);
// None gives an absent text.
std::optional<std::optional<std::string>> to_optional_text(PyObject* obj);
std::optional<bool> to_bool(PyObject* obj);
std::optional<std::uint32_t> to_u32(PyObject* obj);
std::optional<std::uint64_t> to_u64(PyObject* obj);
// A megabyte count as a byte count (× 2^20). Counts whose byte count does
// not fit 64 bits are refused with OverflowError rather than wrapped.
std::optional<std::uint64_t> to_chunk_size(PyObject* obj);
std::optional<RegionTuple> to_region_tuple(PyObject* obj);
std::optional<std::vector<RegionTuple>> to_region_tuples(PyObject* obj);

// Runs one argument's conversion and names the argument in a TypeError.
template <class F>
auto convert_arg(const char* name, F&& convert) {
  auto result = convert();
  if (!result) prefix_argument_error(name);
  return result;
}

std::expected<RegionKind, VeskPyError> parse_region_kind(std::string_view text);
std::expected<std::optional<VllmCommit>, VeskPyError> parse_vllm_commit(const std::optional<std::string>& text);

using RestoreMap = std::unordered_map<RegionKey, DeviceRegion, RegionKeyHash>;

std::expected<std::vector<FreezeRequest>, VeskPyError> build_freeze_requests(std::vector<RegionTuple> tuples);
std::expected<RestoreMap, VeskPyError> build_restore_map(std::vector<RegionTuple> tuples);
// Looks regions up in `map`, which must outlive the resolver.
RegionResolver resolver_for(const RestoreMap& map);

}  // namespace vesk::py
