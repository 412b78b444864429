// Throughput of the four restores from host memory against a plain memcpy
// of the same bytes into the same destination.
//
// A snapshot of VESK_BENCH_MIB MiB of payload (default 4096) is written as
// a file in /dev/shm, mapped read-only, and restored by each path, with
// checksum verification on and then off, in VESK_BENCH_ROUNDS interleaved
// rounds (default 5); the staging path uses chunks of VESK_BENCH_CHUNK_MIB
// MiB (default 64, the module's default). Under the stand-in runtime the
// "device" is host memory and every copy is a memmove on the worker thread
// of its stream, so a single-threaded memcpy is the reference.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../tests/standin/standin.h"
#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "format/writer.h"
#include "pipeline/checksum.h"
#include "pipeline/restore_memory.h"

namespace {

using vesk::RestoreError;
using vesk::RestoreStats;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = std::size_t{1} << 20;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_memory_restores: %s\n", what.c_str());
  std::exit(1);
}

std::size_t env_size(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return std::strtoull(v, nullptr, 10);
}

// Fills `out` with a pattern that no two regions share.
void fill(std::uint64_t* out, std::size_t words, std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < words; ++i) {
    x += 0x9E3779B97F4A7C15ull;
    out[i] = x ^ (x >> 29);
  }
}

struct Mapping {
  std::uint8_t* ptr = nullptr;
  std::size_t len = 0;
  Mapping() = default;
  Mapping(std::uint8_t* p, std::size_t n) : ptr(p), len(n) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (ptr != nullptr) ::munmap(ptr, len);
  }
};

// Wall time of one run, in seconds.
double seconds(const std::function<void()>& run) {
  const auto t0 = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main() {
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) die("cannot load the runtime: " + rt.error());
  standin_set_delay_us(0);

  constexpr std::size_t kRegions = 16;
  const std::size_t region_size = env_size("VESK_BENCH_MIB", 4096) * kMiB / kRegions / 8 * 8;
  if (region_size == 0) die("VESK_BENCH_MIB too small");
  const std::size_t prelude_size = vesk::HEADER_SIZE + vesk::REGION_ENTRY_SIZE * kRegions;
  const std::size_t payload_len = region_size * kRegions;
  const std::size_t file_len = prelude_size + payload_len;

  // Write the snapshot file through a writable mapping, CRCs as we go.
  const std::string path = "/dev/shm/vesk_bench_memory_" + std::to_string(::getpid()) + ".vesk";
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) die("cannot create " + path);
    if (::ftruncate(fd, static_cast<off_t>(file_len)) != 0) die("ftruncate failed (is /dev/shm large enough?)");
    void* p = ::mmap(nullptr, file_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) die("mmap for writing failed");
    Mapping out{static_cast<std::uint8_t*>(p), file_len};
    vesk::ByteRegionWriter writer;
    // The payload is unaligned in the file (prelude of 4096 + 32 * n), so
    // fill through an aligned scratch buffer.
    std::vector<std::uint64_t> words(region_size / 8);
    for (std::size_t i = 0; i < kRegions; ++i) {
      std::uint8_t* dst = out.ptr + prelude_size + i * region_size;
      fill(words.data(), words.size(), i + 1);
      std::memcpy(dst, words.data(), region_size);
      const std::uint32_t crc = vesk::crc32c_append_parallel(0, std::as_bytes(std::span(dst, region_size)));
      writer.push_region_metadata_with_crc(vesk::RegionKind::Weights, static_cast<std::uint32_t>(i), region_size,
                                           crc);
    }
    const auto prelude = writer.build_snapshot().to_prelude_bytes();
    std::memcpy(out.ptr, prelude.data(), prelude.size());
  }

  Mapping snap;
  {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path);
    void* p = ::mmap(nullptr, file_len, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    ::close(fd);
    ::unlink(path.c_str());  // the mapping keeps the bytes alive
    if (p == MAP_FAILED) die("mmap for reading failed");
    snap.ptr = static_cast<std::uint8_t*>(p);
    snap.len = file_len;
  }
  const std::span<const std::uint8_t> data(snap.ptr, snap.len);

  void* dev = nullptr;
  if (cudaMalloc(&dev, payload_len) != 0) die("cudaMalloc failed");
  cudaMemset(dev, 0, payload_len);  // fault the destination in before timing
  auto* dev_bytes = static_cast<std::uint8_t*>(dev);
  const vesk::RegionResolver resolve = [&](vesk::RegionKind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
    if (id >= kRegions) return std::nullopt;
    return vesk::DeviceRegion{vesk::DevicePtr{reinterpret_cast<std::uintptr_t>(dev_bytes + id * region_size)},
                              region_size};
  };

  const vesk::RealCuda backend;
  const vesk::PipelineConfig config{env_size("VESK_BENCH_CHUNK_MIB", 64) * kMiB, false};
  const double gb = static_cast<double>(payload_len) / 1e9;

  const int rounds = static_cast<int>(std::max<std::size_t>(1, env_size("VESK_BENCH_ROUNDS", 5)));
  std::printf("payload %zu bytes in %zu regions, file %zu bytes in /dev/shm, chunk %zu MiB, best of %d rounds\n",
              payload_len, kRegions, file_len, static_cast<std::size_t>(config.chunk_size / kMiB), rounds);

  using RestoreFn = std::expected<RestoreStats, RestoreError> (*)(const vesk::Backend&, std::span<const std::uint8_t>,
                                                                  const vesk::RegionResolver&,
                                                                  const vesk::PipelineConfig&);
  struct PathRun {
    const char* name;
    RestoreFn fn;
    bool pre_register;
  };
  const PathRun paths[] = {
      {"staging", &vesk::restore_pipelined_from_bytes, false},
      {"registered", &vesk::restore_pipelined_from_registered_bytes, false},
      {"auto", &vesk::restore_pipelined_from_bytes_auto, false},
      {"pre-registered", &vesk::restore_pipelined_from_pre_registered_bytes, true},
  };
  constexpr std::size_t kPaths = std::size(paths);

  // Rounds interleave every measurement, so that a machine whose load
  // drifts affects the limit and the paths alike; each figure is the best
  // of its rounds.
  double memcpy_s = 1e30;
  double best[2][kPaths];
  std::fill(&best[0][0], &best[0][0] + 2 * kPaths, 1e30);
  long pageable[2][kPaths] = {};
  bool same[2][kPaths];
  std::fill(&same[0][0], &same[0][0] + 2 * kPaths, true);
  for (int round = 0; round < rounds; ++round) {
    memcpy_s = std::min(memcpy_s, seconds([&] { std::memcpy(dev_bytes, snap.ptr + prelude_size, payload_len); }));
    for (int verify = 1; verify >= 0; --verify) {
      if (verify) {
        ::unsetenv("VESK_VERIFY");
      } else {
        ::setenv("VESK_VERIFY", "0", 1);
      }
      for (std::size_t k = 0; k < kPaths; ++k) {
        const PathRun& pr = paths[k];
        // Registered once, outside the timed run; gone again before the
        // auto path's own registration.
        std::optional<vesk::HostRegistration> held;
        if (pr.pre_register) {
          auto reg = backend.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
          if (!reg) die("host_register failed: " + reg.error().message());
          held.emplace(std::move(*reg));
        }
        standin_reset();
        if (round == 0) cudaMemset(dev, 0, payload_len);
        best[verify][k] = std::min(best[verify][k], seconds([&] {
                                     auto r = pr.fn(backend, data, resolve, config);
                                     if (!r) die(std::string(pr.name) + " failed: " + r.error().message());
                                   }));
        pageable[verify][k] += standin_pageable_copies();
        if (round == 0) same[verify][k] = std::memcmp(dev_bytes, snap.ptr + prelude_size, payload_len) == 0;
      }
    }
  }
  ::unsetenv("VESK_VERIFY");

  std::printf("%-16s %-7s %8.2f GB/s  ratio 1.000\n", "memcpy", "-", gb / memcpy_s);
  bool failed = false;
  double ratio[2][kPaths] = {};
  for (int verify = 1; verify >= 0; --verify) {
    for (std::size_t k = 0; k < kPaths; ++k) {
      ratio[verify][k] = memcpy_s / best[verify][k];
      failed |= !same[verify][k] || pageable[verify][k] != 0;
      std::printf("%-16s %-7s %8.2f GB/s  ratio %.3f  pageable_copies %ld%s\n", paths[k].name,
                  verify ? "verify" : "no-crc", gb / best[verify][k], ratio[verify][k], pageable[verify][k],
                  same[verify][k] ? "" : "  DESTINATION DIFFERS");
    }
  }

  auto target = [](const char* what, bool ok) { std::printf("target %-46s %s\n", what, ok ? "met" : "MISSED"); };
  target("pre-registered >= 0.8 x memcpy (checksums on)", ratio[1][3] >= 0.8);
  target("staging >= 0.4 x memcpy (checksums on)", ratio[1][0] >= 0.4);
  target("auto within 5% of registered zero-copy", ratio[1][2] >= 0.95 * ratio[1][1]);

  cudaFree(dev);
  return failed ? 1 : 0;
}
