// What the number of regions costs: the same bytes frozen and restored as
// 64 regions and as ever more, smaller ones, on every path.
//
//   bench_region_count [top count = 262144] [directory = .] [rounds = 3]
//
// The payload is about `top count` × 4 KiB (the default 1 GiB; 1000000
// gives the 3.9 GiB of a large serving engine's cache), held in 64 device
// allocations that touch one another (as a caching allocator's blocks
// can), each a whole number of the largest regions below. It is laid out
// as 64, top/100, top/10 and top regions of equal size, each layout twice:
// contiguous (the regions are consecutive slices of the allocations, as an
// engine's KV blocks are slices of its tensors) and scattered (every other
// block, so half the regions and half the bytes, and no two regions touch).
// Every call runs as the module runs it: the device check first (which
// learns the allocations, so that no copy crosses from one into the
// next), then the transfer on the regions' device. Each layout is
// frozen to a file in `directory`, restored from that file, and restored
// from the snapshot held in host memory by the staging, the zero-copy
// (registered per call) and the pre-registered path. Each line gives the
// best of `rounds` runs as throughput, its ratio to the 64-region layout
// of the same kind (scattered: 64 regions at every other 1/128 of the
// allocation, the same bytes as the scattered rows), the device copies
// issued per region (the stand-in's count of cudaMemcpyAsync), and the
// pointer queries per call (the driver's and the runtime's).
//
// A last section restores a 64-region snapshot entirely in the page cache
// (as a copy or download leaves it) with direct I/O on and off, and again
// with the cache dropped.
//
// Device memory comes from the stand-in's cudaMalloc (host memory), its
// copy delay set to 0; every copy is a memmove on the worker thread of its
// stream. After every restore the device bytes are compared with what was
// frozen.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "../tests/standin/standin.h"
#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "pipeline/device_scope.h"
#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"
#include "pipeline/restore_memory.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kAllocations = 64;
// The largest region of the layouts past 64 regions is 100 blocks; each
// allocation holds a whole number of them, so no region straddles two.
constexpr std::uint64_t kAllocationGrain = 100 * kBlock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_region_count: %s\n", what.c_str());
  std::exit(1);
}

double seconds(const std::function<void()>& run) {
  const auto t0 = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Device memory from the stand-in, released at the end.
struct DeviceAlloc {
  std::uint8_t* ptr = nullptr;
  explicit DeviceAlloc(std::uint64_t n) {
    void* p = nullptr;
    if (cudaMalloc(&p, n) != 0) die("cudaMalloc failed");
    ptr = static_cast<std::uint8_t*>(p);
  }
  ~DeviceAlloc() { (void)cudaFree(ptr); }
  DeviceAlloc(const DeviceAlloc&) = delete;
  DeviceAlloc& operator=(const DeviceAlloc&) = delete;
};

struct Layout {
  std::string name;
  std::vector<vesk::FreezeRequest> requests;
  std::uint64_t bytes = 0;
};

// `count` blocks of equal size over `total` bytes from `base`; scattered
// keeps every other one.
Layout make_layout(std::uint8_t* base, std::uint64_t total, std::uint64_t count, bool scattered) {
  Layout l;
  const std::uint64_t size = std::max<std::uint64_t>(kBlock, total / count / kBlock * kBlock);
  const std::uint64_t step = scattered ? 2 : 1;
  for (std::uint64_t i = 0; i < count && (i + 1) * size <= total; i += step) {
    const auto id = static_cast<std::uint32_t>(i / step);
    l.requests.push_back(vesk::FreezeRequest{vesk::RegionKind::KvLiveBlock, id,
                                             vesk::DeviceRegion{vesk::DevicePtr{reinterpret_cast<std::uintptr_t>(base + i * size)}, size}});
    l.bytes += size;
  }
  l.name = std::string(scattered ? "scattered" : "contiguous") + " " + std::to_string(l.requests.size()) + " x " +
           std::to_string(size / 1024) + " KiB";
  return l;
}

std::vector<std::uint8_t> read_whole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) die("cannot open " + path);
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> buf(8 * kMiB);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) die("read failed");
    if (n == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  }
  ::close(fd);
  return out;
}

void set_page_cache(const std::string& path, bool warm) {
  if (warm) {
    (void)read_whole(path);
    return;
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) die("cannot open " + path);
  ::fdatasync(fd);
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// 64 allocations side by side: one address range, 64 allocations.
std::vector<std::unique_ptr<DeviceAlloc>> adjacent_allocations(std::uint64_t each) {
  standin_set_adjacent_allocations(1);
  std::vector<std::unique_ptr<DeviceAlloc>> out;
  for (std::uint64_t i = 0; i < kAllocations; ++i) {
    out.push_back(std::make_unique<DeviceAlloc>(each));
    if (i > 0 && out[i]->ptr != out[i - 1]->ptr + each) die("the stand-in did not place the allocations side by side");
  }
  standin_set_adjacent_allocations(0);
  return out;
}

class Bench {
 public:
  Bench(std::uint64_t total, std::string dir, int rounds)
      : total_(total),
        dir_(std::move(dir)),
        rounds_(rounds),
        device_(adjacent_allocations(total / kAllocations)),
        expected_(total) {
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t i = 0; i < total / 8; ++i) {
      x += 0x9E3779B97F4A7C15ull;
      const std::uint64_t v = x ^ (x >> 29);
      std::memcpy(expected_.data() + i * 8, &v, 8);
    }
    std::memcpy(base(), expected_.data(), total);
  }

  std::uint8_t* base() const { return device_.front()->ptr; }

  struct Row {
    std::string name;
    std::uint64_t regions;
    std::uint64_t bytes;
    double best[5];
    double copies_per_region[5];
    double queries[5];
  };

  // Freeze, file restore and the three memory restores of one layout.
  Row run(const Layout& l) {
    Row row{l.name, l.requests.size(), l.bytes, {1e9, 1e9, 1e9, 1e9, 1e9}, {}, {}};
    const std::string path = dir_ + "/bench_region_count_" + std::to_string(::getpid()) + ".vesk";
    std::unordered_map<std::uint64_t, vesk::DeviceRegion> map;
    map.reserve(l.requests.size());
    for (const auto& r : l.requests) map.emplace(key(r.kind, r.logical_id), r.device_region);
    const vesk::RegionResolver resolve = [&map](vesk::RegionKind kind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
      const auto it = map.find(key(kind, id));
      if (it == map.end()) return std::nullopt;
      return it->second;
    };
    std::vector<vesk::PlacedRegion> placed;
    placed.reserve(l.requests.size());
    for (const auto& r : l.requests) placed.push_back({"kv_live_block", r.logical_id, r.device_region});
    // As the module does: the device check, then the call on the regions'
    // device with the allocations the check learned.
    vesk::PipelineConfig config;
    const auto placed_call = [&](const std::function<void()>& call) {
      auto placement = vesk::regions_device(cuda_, placed);
      if (!placement) die("device check: " + placement.error().message());
      auto scope = vesk::CurrentDevice::enter(cuda_, placement->device);
      if (!scope) die("device scope: " + scope.error().message());
      config.allocations = placement->allocations ? &*placement->allocations : nullptr;
      call();
      config.allocations = nullptr;
    };

    for (int round = 0; round < rounds_; ++round) {
      measure(row, 0, l, [&] {
        placed_call([&] {
          vesk::FreezeConfig fc;
          fc.allocations = config.allocations;
          auto r = vesk::freeze_pipelined_to_file(cuda_, l.requests, fc, path);
          if (!r) die("freeze: " + r.error().message());
        });
      }, false);
      set_page_cache(path, false);
      measure(row, 1, l, [&] {
        placed_call([&] {
          auto r = vesk::restore_pipelined(cuda_, path, resolve, config);
          if (!r) die("file restore: " + r.error().message());
        });
      }, true);
    }
    const std::vector<std::uint8_t> data = read_whole(path);
    auto registration = cuda_.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
    if (!registration) die("host_register: " + registration.error().message());
    std::optional<vesk::HostRegistration> pinned(std::move(*registration));
    for (int round = 0; round < rounds_; ++round) {
      measure(row, 2, l, [&] {
        placed_call([&] {
          auto r = vesk::restore_pipelined_from_bytes(cuda_, data, resolve, config);
          if (!r) die("staging restore: " + r.error().message());
        });
      }, true);
      pinned.reset();
      measure(row, 3, l, [&] {
        placed_call([&] {
          auto r = vesk::restore_pipelined_from_registered_bytes(cuda_, data, resolve, config);
          if (!r) die("zero-copy restore: " + r.error().message());
        });
      }, true);
      auto again = cuda_.host_register(const_cast<std::uint8_t*>(data.data()), data.size());
      if (!again) die("host_register: " + again.error().message());
      pinned.emplace(std::move(*again));
      measure(row, 4, l, [&] {
        placed_call([&] {
          auto r = vesk::restore_pipelined_from_pre_registered_bytes(cuda_, data, resolve, config);
          if (!r) die("pre-registered restore: " + r.error().message());
        });
      }, true);
    }
    pinned.reset();
    ::unlink(path.c_str());
    return row;
  }

  // The 64-region snapshot fully cached and restored with direct I/O on
  // and off, then restored cold.
  void page_cache(const Layout& l) {
    const std::string path = dir_ + "/bench_region_count_cache_" + std::to_string(::getpid()) + ".vesk";
    auto f = vesk::freeze_pipelined_to_file(cuda_, l.requests, vesk::FreezeConfig{}, path);
    if (!f) die("freeze: " + f.error().message());
    const vesk::RegionResolver resolve = [&l](vesk::RegionKind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
      return l.requests[id].device_region;
    };
    double warm_direct = 1e9, warm_buffered = 1e9, cold_direct = 1e9;
    Row scratch{};
    for (int round = 0; round < std::max(rounds_, 3); ++round) {
      for (const bool direct : {true, false}) {
        set_page_cache(path, true);
        vesk::PipelineConfig config;
        config.try_direct_io = direct;
        const double t = timed_restore(l, [&] {
          auto r = vesk::restore_pipelined(cuda_, path, resolve, config);
          if (!r) die("file restore: " + r.error().message());
        });
        (direct ? warm_direct : warm_buffered) = std::min(direct ? warm_direct : warm_buffered, t);
      }
      set_page_cache(path, false);
      cold_direct = std::min(cold_direct, timed_restore(l, [&] {
        auto r = vesk::restore_pipelined(cuda_, path, resolve, vesk::PipelineConfig{});
        if (!r) die("file restore: " + r.error().message());
      }));
    }
    ::unlink(path.c_str());
    const double gib = static_cast<double>(l.bytes) / (1024.0 * 1024 * 1024);
    std::printf("\npage cache, %s (%.2f GiB), best of %d:\n", l.name.c_str(), gib, std::max(rounds_, 3));
    std::printf("  warm, direct_io=True   %7.3f s  %6.2f GiB/s  (%.2f x the time of direct_io=False; target <= 1.15)\n",
                warm_direct, gib / warm_direct, warm_direct / warm_buffered);
    std::printf("  warm, direct_io=False  %7.3f s  %6.2f GiB/s\n", warm_buffered, gib / warm_buffered);
    std::printf("  cold, direct_io=True   %7.3f s  %6.2f GiB/s\n", cold_direct, gib / cold_direct);
  }

 private:
  static std::uint64_t key(vesk::RegionKind kind, std::uint32_t id) {
    return (std::uint64_t{static_cast<std::uint32_t>(kind)} << 32) | id;
  }

  // Zeroes the regions, times the restore, checks every byte.
  double timed_restore(const Layout& l, const std::function<void()>& restore) {
    for (const auto& r : l.requests) std::memset(ptr_of(r), 0, r.device_region.size);
    const double t = seconds(restore);
    check(l);
    return t;
  }

  void measure(Row& row, int path, const Layout& l, const std::function<void()>& op, bool restore) {
    standin_reset();
    const double t = restore ? timed_restore(l, op) : seconds(op);
    row.best[path] = std::min(row.best[path], t);
    row.copies_per_region[path] =
        static_cast<double>(standin_calls("cudaMemcpyAsync")) / static_cast<double>(l.requests.size());
    row.queries[path] =
        static_cast<double>(standin_calls("cuPointerGetAttributes") + standin_calls("cudaPointerGetAttributes"));
  }

  static std::uint8_t* ptr_of(const vesk::FreezeRequest& r) {
    return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(r.device_region.ptr.value));
  }

  void check(const Layout& l) const {
    for (const auto& r : l.requests) {
      const std::uint64_t at = r.device_region.ptr.value - reinterpret_cast<std::uintptr_t>(base());
      if (std::memcmp(ptr_of(r), expected_.data() + at, r.device_region.size) != 0)
        die("a restored region differs from what was frozen: " + l.name);
    }
  }

  std::uint64_t total_;
  std::string dir_;
  int rounds_;
  vesk::RealCuda cuda_;
  std::vector<std::unique_ptr<DeviceAlloc>> device_;
  std::vector<std::uint8_t> expected_;
};

const char* const kPaths[5] = {"freeze", "file", "staging", "zero-copy", "pre-reg"};

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t top = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 262144;
  const std::string dir = argc > 2 ? argv[2] : ".";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  if (top < 6400 || rounds < 1) die("usage: bench_region_count [top count >= 6400] [directory] [rounds >= 1]");
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) die("cannot load the runtime: " + rt.error());
  standin_set_delay_us(0);

  const std::uint64_t each = (top * kBlock / kAllocations + kAllocationGrain - 1) / kAllocationGrain * kAllocationGrain;
  const std::uint64_t total = each * kAllocations;
  Bench bench(total, dir, rounds);
  std::printf("region count: %.2f GiB payload in %llu adjacent allocations, best of %d, throughput in GiB/s (ratio "
              "to 64 regions), device copies per region and pointer queries per call\n",
              static_cast<double>(total) / (1024.0 * 1024 * 1024), static_cast<unsigned long long>(kAllocations),
              rounds);
  std::printf("%-34s", "layout");
  for (const char* p : kPaths) std::printf(" %26s", p);
  std::printf("\n");

  // Each layout's lowest ratio to its 64-region case, per path.
  double worst[2][5];
  const Layout* cached = nullptr;
  Layout first;
  for (const bool scattered : {false, true}) {
    const std::vector<std::uint64_t> counts = {std::uint64_t{scattered ? 128u : 64u}, top / 100, top / 10, top};
    double base[5] = {};
    std::fill(std::begin(worst[scattered]), std::end(worst[scattered]), 1e9);
    for (const std::uint64_t count : counts) {
      Layout l = make_layout(bench.base(), total, count, scattered);
      const Bench::Row row = bench.run(l);
      const double gib = static_cast<double>(row.bytes) / (1024.0 * 1024 * 1024);
      std::printf("%-34s", row.name.c_str());
      for (int p = 0; p < 5; ++p) {
        const double tput = gib / row.best[p];
        if (count == counts.front()) base[p] = tput;
        const double ratio = tput / base[p];
        if (count == counts.back()) worst[scattered][p] = ratio;
        std::printf("  %5.2f (%4.2fx) %5.3fc %3.0fq", tput, ratio, row.copies_per_region[p], row.queries[p]);
      }
      std::printf("\n");
      std::fflush(stdout);
      if (!scattered && count == counts.front()) first = std::move(l);
    }
  }
  cached = &first;

  const auto target = [](const char* what, double ratio, double limit) {
    std::printf("  %-58s %5.2f x  %s\n", what, ratio, ratio >= limit ? "met" : "MISSED");
  };
  std::printf("\ntargets at the top count (ratio of throughput to 64 regions):\n");
  target("contiguous: freeze >= 0.8", worst[0][0], 0.8);
  target("contiguous: restore from file >= 0.8", worst[0][1], 0.8);
  target("contiguous: staging >= 0.5", worst[0][2], 0.5);
  target("contiguous: zero-copy >= 0.5", worst[0][3], 0.5);
  target("contiguous: pre-registered >= 0.5", worst[0][4], 0.5);
  target("scattered: freeze >= 0.5", worst[1][0], 0.5);
  target("scattered: restore from file >= 0.5", worst[1][1], 0.5);

  bench.page_cache(*cached);
  return 0;
}
