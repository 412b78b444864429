// The cost of asking where every region lives, against the freeze and the
// restore it precedes, at a million small regions (the worst case: the
// most questions per byte moved). The check may add at most 10 % to either.
//
// Usage: bench_device_check [regions] [region bytes] [directory]
//        (defaults: 1000000, 64, /dev/shm)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "../tests/standin/standin.h"
#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "pipeline/device_scope.h"
#include "pipeline/freeze.h"
#include "pipeline/restore_memory.h"

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_device_check: %s\n", what.c_str());
  std::exit(1);
}

template <class F>
double best_seconds(int rounds, F&& f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto t = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t regions = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const std::size_t region_size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64;
  const std::string dir = argc > 3 ? argv[3] : "/dev/shm";
  if (regions == 0 || region_size == 0) die("regions and region bytes must be positive");
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) die(rt.error());
  standin_set_delay_us(0);

  const std::size_t kRegionSize = region_size;
  void* dev = nullptr;
  if (cudaMalloc(&dev, regions * kRegionSize) != 0) die("cudaMalloc failed");
  auto* base = static_cast<std::uint8_t*>(dev);
  for (std::size_t i = 0; i < regions * kRegionSize; ++i) base[i] = static_cast<std::uint8_t>(i * 131);

  std::vector<vesk::PlacedRegion> placed;
  std::vector<vesk::FreezeRequest> requests;
  std::unordered_map<std::uint32_t, vesk::DeviceRegion> by_id;
  for (std::size_t i = 0; i < regions; ++i) {
    const vesk::DeviceRegion r{vesk::DevicePtr{reinterpret_cast<std::uintptr_t>(base + i * kRegionSize)}, kRegionSize};
    const auto id = static_cast<std::uint32_t>(i);
    placed.push_back({"weights", id, r});
    requests.push_back({vesk::RegionKind::Weights, id, r});
    by_id.emplace(id, r);
  }
  const vesk::RealCuda cuda;
  const std::string path = dir + "/bench_device_check_" + std::to_string(::getpid()) + ".vesk";
  constexpr int kRounds = 3;

  std::optional<vesk::DeviceAllocations> allocations;
  const double check = best_seconds(kRounds, [&] {
    auto d = vesk::regions_device(cuda, placed);
    if (!d) die(d.error().message());
    auto scope = vesk::CurrentDevice::enter(cuda, d->device);
    if (!scope) die(scope.error().message());
    allocations = std::move(d->allocations);
  });
  vesk::FreezeConfig config;
  config.try_direct_io = true;
  config.allocations = allocations ? &*allocations : nullptr;
  vesk::PipelineConfig restore_config;
  restore_config.allocations = config.allocations;
  const double freeze = best_seconds(kRounds, [&] {
    auto r = vesk::freeze_pipelined_to_file(cuda, requests, config, path);
    if (!r) die("freeze: " + r.error().message());
  });
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> snap{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ::unlink(path.c_str());
  const vesk::RegionResolver resolve = [&](vesk::RegionKind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
    auto it = by_id.find(id);
    if (it == by_id.end()) return std::nullopt;
    return it->second;
  };
  const double restore = best_seconds(kRounds, [&] {
    auto r = vesk::restore_pipelined_from_bytes(cuda, snap, resolve, restore_config);
    if (!r) die("restore: " + r.error().message());
  });
  cudaFree(dev);

  const double to_freeze = check / freeze;
  const double to_restore = check / restore;
  auto verdict = [](double r) { return r <= 0.10 ? "ok" : "OVER"; };
  std::printf("%zu regions of %zu bytes, best of %d: check %.3f s, freeze %.3f s, restore (staging) %.3f s\n",
              regions, kRegionSize, kRounds, check, freeze, restore);
  std::printf("check / freeze:  %.3f  (limit <= 0.10) %s\n", to_freeze, verdict(to_freeze));
  std::printf("check / restore: %.3f  (limit <= 0.10) %s\n", to_restore, verdict(to_restore));
  // A benchmark reports; it does not fail the run that follows it.
  return 0;
}
