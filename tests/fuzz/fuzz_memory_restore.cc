// Arbitrary bytes as a snapshot held in memory, restored by every memory
// path against the stand-in runtime. Each table entry small enough gets a
// scratch "device" region of exactly its size, so accepted inputs run the
// copy paths as well. AddressSanitizer catches any read outside the input
// or write outside a region (the stand-in's copies are plain memmoves);
// the checks below catch a restore that reports success with wrong bytes,
// or leaves a stream, a registration or a staging buffer behind.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "format/snapshot.h"
#include "pipeline/restore_memory.h"
#include "standin/standin.h"

namespace {

constexpr std::uint64_t kMaxRegion = 64 * 1024;
constexpr std::uint64_t kMaxScratch = 1024 * 1024;
// Small chunks, so that a snapshot of a few KiB is staged in several.
constexpr std::uint64_t kChunk = 4096;
constexpr std::uint8_t kFill = 0x5C;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_memory_restore: %s\n", what);
  std::abort();
}

// One scratch region per distinct key, sized by the key's first entry.
class Scratch {
 public:
  explicit Scratch(std::span<const std::uint8_t> data) {
    auto snap = vesk::Snapshot::from_prelude_bytes(data);
    if (!snap) return;
    std::uint64_t total = 0;
    for (const auto& e : snap->table) {
      const vesk::RegionKey key{e.kind, e.logical_id};
      if (regions_.contains(key)) continue;
      if (e.size > kMaxRegion || total + e.size > kMaxScratch) continue;
      total += e.size;
      regions_.emplace(key, std::vector<std::uint8_t>(e.size));
    }
    table_ = std::move(snap->table);
  }

  vesk::RegionResolver resolver() {
    return [this](vesk::RegionKind kind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
      auto it = regions_.find(vesk::RegionKey{kind, id});
      if (it == regions_.end()) return std::nullopt;
      return vesk::DeviceRegion{vesk::DevicePtr{reinterpret_cast<std::uintptr_t>(it->second.data())},
                                it->second.size()};
    };
  }

  void clear() {
    for (auto& [key, bytes] : regions_) std::fill(bytes.begin(), bytes.end(), kFill);
  }

  // After a successful restore every region holds the payload of its key's
  // last table entry (the later of duplicate entries wins on every path).
  void expect_payloads(std::span<const std::uint8_t> data) const {
    std::unordered_set<vesk::RegionKey, vesk::RegionKeyHash> seen;
    for (auto it = table_.entries().rbegin(); it != table_.entries().rend(); ++it) {
      const auto& e = *it;
      if (!seen.insert(vesk::RegionKey{e.kind, e.logical_id}).second) continue;
      const auto& bytes = regions_.at(vesk::RegionKey{e.kind, e.logical_id});
      if (e.file_offset > data.size() || e.size > data.size() - e.file_offset)
        fail("a restore succeeded with a payload outside the buffer");
      if (!std::equal(bytes.begin(), bytes.end(), data.begin() + static_cast<long>(e.file_offset)))
        fail("a restore succeeded but a region differs from its last entry's payload");
    }
  }

 private:
  std::unordered_map<vesk::RegionKey, std::vector<std::uint8_t>, vesk::RegionKeyHash> regions_;
  vesk::RegionTable table_;
};

void expect_quiet(long registered = 0) {
  if (standin_live("streams") != 0) fail("a stream was left alive");
  if (standin_live("registered") != registered) fail("a registration was left behind");
  if (standin_live("pinned") != 0) fail("a staging buffer was left behind");
  if (standin_hazards() != 0) fail("memory was released under a queued copy");
}

void set_verify(bool on) {
  if (on) ::unsetenv("VESK_VERIFY");
  else ::setenv("VESK_VERIFY", "0", 1);
}

template <typename Restore>
void run(Scratch& scratch, std::span<const std::uint8_t> data, bool verify, Restore restore, long registered = 0) {
  scratch.clear();
  set_verify(verify);
  const auto r = restore();
  if (r) scratch.expect_payloads(data);
  else if (r.error().message().empty()) fail("empty error message");
  expect_quiet(registered);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) {
    std::fprintf(stderr, "cannot load the stand-in runtime: %s\n", rt.error().c_str());
    std::exit(2);
  }
  standin_set_delay_us(0);
  // No staging cache: every page-locked buffer must be gone after a call.
  ::setenv("VESK_DISABLE_WC_CACHE", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ptr, std::size_t size) {
  const std::span<const std::uint8_t> data(ptr, size);
  const vesk::RealCuda cuda;
  const vesk::PipelineConfig config{kChunk, false};
  standin_reset();
  Scratch scratch(data);
  const vesk::RegionResolver resolve = scratch.resolver();

  if (auto plan = vesk::plan_copies_from_bytes(data, resolve)) {
    std::uint64_t total = 0;
    for (const auto& e : plan->entries) {
      if (e.device_region.size != e.size) fail("planned a copy into a region of another size");
      total += e.size;
    }
    if (total != plan->total_bytes) fail("planned total differs from the sum of the entries");
  }

  // Verification off where the path must check bounds on its own; the
  // auto path (zero-copy here) runs the checksum pass.
  run(scratch, data, false, [&] { return vesk::restore_pipelined_from_bytes(cuda, data, resolve, config); });
  run(scratch, data, false,
      [&] { return vesk::restore_pipelined_from_registered_bytes(cuda, data, resolve, config); });
  run(scratch, data, true, [&] { return vesk::restore_pipelined_from_bytes_auto(cuda, data, resolve, config); });
  {
    auto reg = cuda.host_register(const_cast<std::uint8_t*>(ptr), size);
    if (!reg) fail("the input could not be registered");
    const long held = size > 0 ? 1 : 0;
    run(scratch, data, false,
        [&] { return vesk::restore_pipelined_from_pre_registered_bytes(cuda, data, resolve, config); }, held);
  }
  set_verify(true);
  expect_quiet();
  return 0;
}
