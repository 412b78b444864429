#include "python/functions.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/config.h"
#include "pipeline/device_scope.h"
#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"
#include "pipeline/restore_memory.h"
#include "python/backend.h"
#include "python/buffer_view.h"
#include "python/convert.h"
#include "python/error_attributes.h"
#include "python/errors.h"
#include "python/pinned_mmap.h"
#include "python/py_ref.h"

namespace vesk::py {
namespace {

constexpr std::size_t kFreezeChunkSize = 64u << 20;

// Keeps the interpreter's signature parser happy: it wants char**.
char** keyword_list(const char** names) { return const_cast<char**>(names); }

PyObject* counters(const char* first_key, std::uint64_t first, std::uint64_t bytes_copied) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef a = PyRef::steal(PyLong_FromUnsignedLongLong(first));
  if (!a || PyDict_SetItemString(dict.get(), first_key, a.get()) != 0) return nullptr;
  PyRef b = PyRef::steal(PyLong_FromUnsignedLongLong(bytes_copied));
  if (!b || PyDict_SetItemString(dict.get(), "bytes_copied", b.get()) != 0) return nullptr;
  return dict.release();
}

// The caller's kind texts, as static text that outlives the tuples; an
// unknown kind is reported by the conversion that follows, never by the
// device check.
std::string_view kind_text(std::string_view text) {
  for (std::string_view known : {"weights", "kv_live_block", "metadata"}) {
    if (text == known) return known;
  }
  return "?";
}

// The regions in the caller's order, for the device check; taken before
// the tuples are consumed.
std::vector<PlacedRegion> placed_regions(const std::vector<RegionTuple>& tuples) {
  std::vector<PlacedRegion> out;
  out.reserve(tuples.size());
  for (const auto& t : tuples) {
    out.push_back(PlacedRegion{kind_text(t.kind), t.logical_id, DeviceRegion{DevicePtr{t.ptr}, t.size}});
  }
  return out;
}

// Checks where the regions live before anything is opened or taken, and
// runs `call(allocations)` with their device current for this thread,
// given the allocations that bound its merged copies (null: merge none);
// the caller's device is current again when this returns, whatever happened.
template <class Call>
PyObject* on_regions_device(const std::vector<PlacedRegion>& placed, Call&& call) {
  if (!bind_cuda_runtime()) return nullptr;
  auto placement = regions_device(cuda_backend(), placed);
  if (!placement) return raise_error(placement.error());
  auto scope = CurrentDevice::enter(cuda_backend(), placement->device);
  if (!scope) return raise_error(scope.error());
  return call(placement->allocations ? &*placement->allocations : nullptr);
}

PyObject* restore_result(const std::expected<RestoreStats, RestoreError>& result) {
  if (!result) return raise_error(result.error());
  return counters("regions_restored", result->regions_restored, result->bytes_copied);
}

// The common end of every restore: the mapping checked and keyed, then
// `run(resolver, allocations)` on the regions' device, its result as the call's.
template <class Run>
PyObject* restore_mapped(std::vector<RegionTuple>&& tuples, Run&& run) {
  const std::vector<PlacedRegion> placed = placed_regions(tuples);
  auto map = build_restore_map(std::move(tuples));
  if (!map) return raise(map.error());
  return on_regions_device(placed, [&](const DeviceAllocations* allocations) {
    return restore_result(run(resolver_for(*map), allocations));
  });
}

// Applies an optional chunk_size_mb argument; false with the argument's
// error set when it is refused.
bool apply_chunk_size(PyObject* chunk_obj, PipelineConfig& config) {
  if (chunk_obj == nullptr) return true;
  auto chunk = convert_arg("chunk_size_mb", [&] { return to_chunk_size(chunk_obj); });
  if (!chunk) return false;
  config.chunk_size = *chunk;
  return true;
}

PyObject* freeze_to_file_pipelined(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"path", "requests", "vllm_commit", nullptr};
    PyObject *path_obj = nullptr, *requests_obj = nullptr, *commit_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:freeze_to_file_pipelined", keyword_list(names), &path_obj,
                                     &requests_obj, &commit_obj)) {
      return nullptr;
    }
    auto path = convert_arg("path", [&] { return to_path(path_obj); });
    if (!path) return nullptr;
    auto tuples = convert_arg("requests", [&] { return to_region_tuples(requests_obj); });
    if (!tuples) return nullptr;
    auto commit_text = convert_arg("vllm_commit", [&] { return to_optional_text(commit_obj); });
    if (!commit_text) return nullptr;

    const std::vector<PlacedRegion> placed = placed_regions(*tuples);
    // An unknown kind is reported before a bad commit.
    auto requests = build_freeze_requests(std::move(*tuples));
    if (!requests) return raise(requests.error());
    auto commit = parse_vllm_commit(*commit_text);
    if (!commit) return raise(commit.error());

    FreezeConfig config;
    config.vllm_commit = *commit;
    config.chunk_size = kFreezeChunkSize;
    config.try_direct_io = true;
    return on_regions_device(placed, [&](const DeviceAllocations* allocations) -> PyObject* {
      config.allocations = allocations;
      auto stats = freeze_pipelined_to_file(cuda_backend(), *requests, config, *path);
      if (!stats) {
        raise_error(stats.error());
        if (!stats.error().failed_step.empty()) add_note("vesk failed while " + stats.error().failed_step);
        return nullptr;
      }
      return counters("regions_frozen", stats->regions_frozen, stats->bytes_copied);
    });
  });
}

PyObject* restore_from_file_pipelined(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"path", "mapping", "chunk_size_mb", "direct_io", nullptr};
    PyObject *path_obj = nullptr, *mapping_obj = nullptr, *chunk_obj = nullptr, *direct_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:restore_from_file_pipelined", keyword_list(names),
                                     &path_obj, &mapping_obj, &chunk_obj, &direct_obj)) {
      return nullptr;
    }
    auto path = convert_arg("path", [&] { return to_path(path_obj); });
    if (!path) return nullptr;
    auto tuples = convert_arg("mapping", [&] { return to_region_tuples(mapping_obj); });
    if (!tuples) return nullptr;
    PipelineConfig config;
    if (!apply_chunk_size(chunk_obj, config)) return nullptr;
    if (direct_obj != nullptr) {
      auto direct = convert_arg("direct_io", [&] { return to_bool(direct_obj); });
      if (!direct) return nullptr;
      config.try_direct_io = *direct;
    }

    return restore_mapped(std::move(*tuples), [&](const RegionResolver& resolve, const DeviceAllocations* allocations) {
      config.allocations = allocations;
      return restore_pipelined(cuda_backend(), *path, resolve, config);
    });
  });
}

// Shared by restore_from_bytes_pipelined and its alias restore_from_bytes_auto.
PyObject* restore_from_bytes(const char* format, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"data", "mapping", "chunk_size_mb", nullptr};
    PyObject *data_obj = nullptr, *mapping_obj = nullptr, *chunk_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keyword_list(names), &data_obj, &mapping_obj,
                                     &chunk_obj)) {
      return nullptr;
    }
    // The view is released when this call ends, whatever the outcome.
    std::unique_ptr<BufferView> data = convert_arg("data", [&] { return BufferView::acquire(data_obj); });
    if (!data) return nullptr;
    auto tuples = convert_arg("mapping", [&] { return to_region_tuples(mapping_obj); });
    if (!tuples) return nullptr;
    PipelineConfig config;
    if (!apply_chunk_size(chunk_obj, config)) return nullptr;

    return restore_mapped(std::move(*tuples), [&](const RegionResolver& resolve, const DeviceAllocations* allocations) {
      config.allocations = allocations;
      return restore_pipelined_from_bytes_auto(cuda_backend(), data->bytes(), resolve, config);
    });
  });
}

PyObject* restore_from_bytes_pipelined(PyObject*, PyObject* args, PyObject* kwargs) {
  return restore_from_bytes("OO|O:restore_from_bytes_pipelined", args, kwargs);
}

PyObject* restore_from_bytes_auto(PyObject*, PyObject* args, PyObject* kwargs) {
  return restore_from_bytes("OO|O:restore_from_bytes_auto", args, kwargs);
}

PyObject* restore_from_bytes_pipelined_zerocopy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"data", "mapping", nullptr};
    PyObject *data_obj = nullptr, *mapping_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:restore_from_bytes_pipelined_zerocopy", keyword_list(names),
                                     &data_obj, &mapping_obj)) {
      return nullptr;
    }
    std::unique_ptr<BufferView> data = convert_arg("data", [&] { return BufferView::acquire(data_obj); });
    if (!data) return nullptr;
    auto tuples = convert_arg("mapping", [&] { return to_region_tuples(mapping_obj); });
    if (!tuples) return nullptr;

    return restore_mapped(std::move(*tuples), [&](const RegionResolver& resolve, const DeviceAllocations* allocations) {
      PipelineConfig config;
      config.allocations = allocations;
      return restore_pipelined_from_registered_bytes(cuda_backend(), data->bytes(), resolve, config);
    });
  });
}

PyObject* restore_from_pinned_mmap(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"pinned", "mapping", nullptr};
    PyObject *pinned_obj = nullptr, *mapping_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:restore_from_pinned_mmap", keyword_list(names), &pinned_obj,
                                     &mapping_obj)) {
      return nullptr;
    }
    // Held for the whole call, so that the object outlives the copies.
    PyRef pinned = PyRef::borrow(pinned_obj);
    if (!convert_arg("pinned", [&] { return borrow_pinned_range(pinned.get()); })) return nullptr;
    auto tuples = convert_arg("mapping", [&] { return to_region_tuples(mapping_obj); });
    if (!tuples) return nullptr;
    // Converting the mapping runs the caller's code (a generator, a custom
    // sequence), which may have closed the mapping: its range is taken only
    // now, when no Python code runs until the copies are done.
    auto range = convert_arg("pinned", [&] { return borrow_pinned_range(pinned.get()); });
    if (!range) return nullptr;

    return restore_mapped(std::move(*tuples), [&](const RegionResolver& resolve, const DeviceAllocations* allocations) {
      PipelineConfig config;
      config.allocations = allocations;
      return restore_pipelined_from_pre_registered_bytes(cuda_backend(), *range, resolve, config);
    });
  });
}

#define VESK_FENCE "```"

constexpr const char* kFreezeDoc =
    "freeze_to_file_pipelined(path, requests, vllm_commit=None)\n--\n\n"
    "Pipelined freeze: double-buffered async D2H with overlapped writes.\n"
    "\n"
    "Python signature:\n"
    "\n" VESK_FENCE "python\n"
    "vesk.freeze_to_file_pipelined(\n"
    "    path: str,\n"
    "    requests: list[tuple[str, int, int, int]],\n"
    "    vllm_commit: str | None = None,\n"
    ") -> dict\n" VESK_FENCE "\n"
    "\n"
    "Writes every requested region (kind, logical_id, device_ptr, size) into a\n"
    "new snapshot file at `path`. Device-to-host copies into one page-locked\n"
    "staging buffer overlap the checksum and the disk write of the other; the\n"
    "file is written under a temporary name and renamed over `path` only when\n"
    "it is complete and synced. `vllm_commit`, when given, must be exactly 40\n"
    "bytes of UTF-8. Returns {\"regions_frozen\": int, \"bytes_copied\": int}.\n"
    "The caller must have finished (synchronized) all device work that writes\n"
    "the regions before calling: vesk's streams do not wait for the caller's\n"
    "non-blocking streams (with PyTorch: torch.cuda.synchronize()). Every\n"
    "non-empty region must be device memory on one device, which is made\n"
    "current for the call.\n"
    "Raises ValueError for an unknown region kind or a bad commit, and\n"
    "RuntimeError when the freeze itself fails.";

// The restores' part of the calling contract, shared by their docstrings.
#define VESK_RESTORE_ORDERING \
    "The caller must have finished (synchronized) all device work that reads\n" \
    "or writes the regions before calling: vesk's streams do not wait for the\n" \
    "caller's non-blocking streams (with PyTorch: torch.cuda.synchronize()).\n" \
    "Every non-empty region must be device memory on one device, which is made\n" \
    "current for the call."

constexpr const char* kRestoreFileDoc =
    "restore_from_file_pipelined(path, mapping, chunk_size_mb=64, direct_io=True)\n--\n\n"
    "Pipelined restore: double-buffered async DMA with O_DIRECT.\n"
    "\n"
    "Python signature:\n"
    "\n" VESK_FENCE "python\n"
    "vesk.restore_from_file_pipelined(\n"
    "    path: str,\n"
    "    mapping: list[tuple[str, int, int, int]],\n"
    "    chunk_size_mb: int = 64,\n"
    "    direct_io: bool = True,\n"
    ") -> dict\n" VESK_FENCE "\n"
    "\n"
    "Reads the snapshot at `path` in chunks of `chunk_size_mb` MiB (with\n"
    "O_DIRECT where the file system allows it and `direct_io` is true) into two\n"
    "page-locked buffers and streams them to the device regions named by\n"
    "`mapping` on two streams, so that disk reads overlap host-to-device copies;\n"
    "checksums are verified along the way. Every region of the snapshot must be\n"
    "mapped to a device region of exactly its size. Returns\n"
    "{\"regions_restored\": int, \"bytes_copied\": int}.\n" VESK_RESTORE_ORDERING;

#define VESK_BYTES_BEHAVIOUR \
    "Restores a snapshot that is already in memory, from any object that\n" \
    "exports the buffer protocol (bytes, bytearray, mmap.mmap, memoryview, ...).\n" \
    "It first tries the zero-copy path, registering the buffer with the device\n" \
    "runtime and copying straight from it; when registration fails it prints a\n" \
    "warning on standard error and falls back to staging the buffer through\n" \
    "page-locked buffers in chunks of `chunk_size_mb` MiB.\n" \
    "restore_from_bytes_auto is the recommended name for new code; both names\n" \
    "behave identically. Returns {\"regions_restored\": int, \"bytes_copied\": int}.\n" \
    VESK_RESTORE_ORDERING

#define VESK_BYTES_SIGNATURE(name)              \
  "\n" VESK_FENCE "python\n"                    \
  "vesk." name "(\n"                            \
  "    data: bytes | mmap | bytearray,\n"       \
  "    mapping: list[tuple[str, int, int, int]],\n" \
  "    chunk_size_mb: int = 64,\n"              \
  ") -> dict\n" VESK_FENCE "\n"

constexpr const char* kRestoreBytesDoc =
    "restore_from_bytes_pipelined(data, mapping, chunk_size_mb=64)\n--\n\n"
    "RAM-backed pipelined restore: reads from a byte buffer instead of disk.\n"
    "\n"
    "Python signature:\n" VESK_BYTES_SIGNATURE("restore_from_bytes_pipelined") "\n" VESK_BYTES_BEHAVIOUR;

constexpr const char* kRestoreAutoDoc =
    "restore_from_bytes_auto(data, mapping, chunk_size_mb=64)\n--\n\n"
    "Auto-dispatching RAM-backed pipelined restore (first-class alias).\n"
    "\n"
    "Python signature:\n" VESK_BYTES_SIGNATURE("restore_from_bytes_auto") "\n" VESK_BYTES_BEHAVIOUR;

constexpr const char* kZeroCopyDoc =
    "restore_from_bytes_pipelined_zerocopy(data, mapping)\n--\n\n"
    "Zero-copy RAM-backed pipelined restore: DMA directly from the buffer.\n"
    "\n"
    "Python signature:\n"
    "\n" VESK_FENCE "python\n"
    "vesk.restore_from_bytes_pipelined_zerocopy(\n"
    "    data: bytes | mmap | bytearray,\n"
    "    mapping: list[tuple[str, int, int, int]],\n"
    ") -> dict\n" VESK_FENCE "\n"
    "\n"
    "Registers the caller's buffer with the device runtime for the duration of\n"
    "the call and copies every region straight from it, without staging\n"
    "buffers. Raises RuntimeError mentioning cudaHostRegister when registration\n"
    "fails (typically a locked-memory limit too low for the snapshot, or a\n"
    "buffer that is not page-aligned); callers should then fall back to\n"
    "restore_from_bytes_pipelined. Raises ValueError for a malformed mapping.\n"
    "Returns {\"regions_restored\": int, \"bytes_copied\": int}.\n" VESK_RESTORE_ORDERING;

constexpr const char* kPinnedRestoreDoc =
    "restore_from_pinned_mmap(pinned, mapping)\n--\n\n"
    "Restore a snapshot using a pre-registered `PinnedMmap`.\n"
    "\n"
    "Python signature:\n"
    "\n" VESK_FENCE "python\n"
    "vesk.restore_from_pinned_mmap(\n"
    "    pinned: PinnedMmap,\n"
    "    mapping: list[tuple[str, int, int, int]],\n"
    ") -> dict\n" VESK_FENCE "\n"
    "\n"
    "Skips registration: the pages were registered when the PinnedMmap was\n"
    "created, so a restore costs the DMA plus building the copy plan. The\n"
    "PinnedMmap must be used on the thread that created it. Returns\n"
    "{\"regions_restored\": int, \"bytes_copied\": int}.\n" VESK_RESTORE_ORDERING;

#undef VESK_BYTES_SIGNATURE
#undef VESK_BYTES_BEHAVIOUR
#undef VESK_RESTORE_ORDERING
#undef VESK_FENCE

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef g_functions[] = {
    {"freeze_to_file_pipelined", as_cfunction<freeze_to_file_pipelined>(), kFlags, kFreezeDoc},
    {"restore_from_file_pipelined", as_cfunction<restore_from_file_pipelined>(), kFlags, kRestoreFileDoc},
    {"restore_from_bytes_pipelined", as_cfunction<restore_from_bytes_pipelined>(), kFlags, kRestoreBytesDoc},
    {"restore_from_bytes_auto", as_cfunction<restore_from_bytes_auto>(), kFlags, kRestoreAutoDoc},
    {"restore_from_bytes_pipelined_zerocopy", as_cfunction<restore_from_bytes_pipelined_zerocopy>(), kFlags,
     kZeroCopyDoc},
    {"restore_from_pinned_mmap", as_cfunction<restore_from_pinned_mmap>(), kFlags, kPinnedRestoreDoc},
};

}  // namespace

std::span<PyMethodDef> module_functions() { return g_functions; }

PyObject* restore_with_mapping(PyObject* mapping_obj, const RestoreRunner& run) {
  auto tuples = convert_arg("mapping", [&] { return to_region_tuples(mapping_obj); });
  if (!tuples) return nullptr;
  return restore_mapped(std::move(*tuples), run);
}

}  // namespace vesk::py
