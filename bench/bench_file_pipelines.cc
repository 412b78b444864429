// Freeze to a file and restore from it, against the disk's own limits on
// the same file system.
//
//   bench_file_pipelines [GiB = 4] [directory = .]
//
// A snapshot of GiB gibibytes of payload, 64 regions of mixed sizes (many
// not multiples of 4096), is frozen from host memory playing device memory
// and restored into fresh host memory, with 64 MiB chunks and O_DIRECT as
// the module uses them. The same byte count is then written and read by dd
// with direct I/O (and by fio at queue depth 16 with 4 MiB blocks when fio
// is installed). Last, the eight-way CRC-32C against ISA-L's single-thread
// routine on a 1 GiB buffer.
//
// The disk is shared and its speed varies from second to second, so each
// transfer runs three times, alternating with the others, and the best run
// counts; every run is printed. The first freeze also pays for allocating
// the staging buffers, which later freezes on the thread take from the
// cache.
//
// Under the stand-in runtime every device copy is a memmove on a stream
// worker thread, so the restore also pays a host copy that a GPU would do
// by DMA.
#include <fcntl.h>
#include <isa-l/crc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../tests/standin/standin.h"
#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "pipeline/checksum.h"
#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kChunk = 64 * kMiB;
constexpr std::size_t kRegions = 64;
constexpr int kRuns = 3;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_file_pipelines: %s\n", what.c_str());
  std::exit(1);
}

double seconds_of(const std::function<void()>& fn) {
  const auto t0 = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double gbps(std::uint64_t bytes, double secs) { return static_cast<double>(bytes) / secs / 1e9; }

struct Runs {
  std::vector<double> secs;
  double best() const { return *std::min_element(secs.begin(), secs.end()); }
  std::string list() const {
    std::string out;
    for (double t : secs) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%.3f", out.empty() ? "" : " ", t);
      out += buf;
    }
    return out + " s";
  }
};

// Sizes that sum to `total`: weights 1..7 in turn, odd regions trimmed by
// an amount that is not a multiple of 4096, the last one taking the rest.
std::vector<std::uint64_t> region_sizes(std::uint64_t total) {
  std::vector<std::uint64_t> sizes(kRegions);
  std::uint64_t weight_sum = 0;
  for (std::size_t i = 0; i < kRegions; ++i) weight_sum += 1 + i % 7;
  std::uint64_t used = 0;
  for (std::size_t i = 0; i + 1 < kRegions; ++i) {
    sizes[i] = total / weight_sum * (1 + i % 7);
    if (i % 2 == 1) sizes[i] -= (i * 977) % 4096 + 1;
    used += sizes[i];
  }
  sizes.back() = total - used;
  return sizes;
}

void fill_pattern(std::vector<std::uint8_t>& v, std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  std::size_t i = 0;
  for (; i + 8 <= v.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(v.data() + i, &x, 8);
  }
  for (; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i);
}

vesk::DeviceRegion region_of(const std::vector<std::uint8_t>& v) {
  return {vesk::DevicePtr{reinterpret_cast<std::uintptr_t>(v.data())}, v.size()};
}

// The page cache must not serve the restore: drop it for the whole machine
// where allowed, otherwise for this file.
std::string drop_page_cache(const std::string& path) {
  ::sync();
  if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
    const bool ok = std::fputs("3\n", f) >= 0;
    if (std::fclose(f) == 0 && ok) return "drop_caches";
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "none";
  (void)::fdatasync(fd);
  const int rc = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
  return rc == 0 ? "posix_fadvise(DONTNEED)" : "none";
}

// Runs a shell command, timing it; exits on failure.
double timed_command(const std::string& cmd) {
  int rc = 0;
  const double secs = seconds_of([&] { rc = std::system(cmd.c_str()); });
  if (rc != 0) die("command failed (" + std::to_string(rc) + "): " + cmd);
  return secs;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string run_capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// bw_bytes of the given direction in fio's JSON output.
std::optional<double> fio_bw_bytes(const std::string& json, const std::string& direction) {
  const auto section = json.find("\"" + direction + "\" : {");
  if (section == std::string::npos) return std::nullopt;
  const auto key = json.find("\"bw_bytes\" : ", section);
  if (key == std::string::npos) return std::nullopt;
  return std::strtod(json.c_str() + key + 13, nullptr);
}

std::optional<std::pair<double, double>> fio_limits(const std::string& file, std::uint64_t bytes) {
  if (std::system("command -v fio >/dev/null 2>&1") != 0) return std::nullopt;
  const std::string common = " --filename=" + shell_quote(file) + " --size=" + std::to_string(bytes) +
                             " --bs=4M --iodepth=16 --ioengine=libaio --direct=1 --output-format=json";
  const auto w = fio_bw_bytes(run_capture("fio --name=w --rw=write" + common + " 2>/dev/null"), "write");
  const auto r = fio_bw_bytes(run_capture("fio --name=r --rw=read" + common + " 2>/dev/null"), "read");
  if (!w || !r) return std::nullopt;
  return std::pair{*w / 1e9, *r / 1e9};
}

}  // namespace

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::strtod(argv[1], nullptr) : 4.0;
  const std::string dir = argc > 2 ? argv[2] : ".";
  if (!(gib > 0)) die("size must be a positive number of GiB");
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) die(rt.error());
  standin_set_delay_us(0);  // the stand-in's artificial latency is not what is measured here

  const auto payload = static_cast<std::uint64_t>(gib * static_cast<double>(kGiB));
  const auto sizes = region_sizes(payload);
  std::vector<std::vector<std::uint8_t>> src(kRegions), dst(kRegions);
  std::vector<vesk::FreezeRequest> requests;
  for (std::size_t i = 0; i < kRegions; ++i) {
    src[i].resize(sizes[i]);
    fill_pattern(src[i], i + 1);
    dst[i].resize(sizes[i]);  // zeroed, so its pages exist before the restore
    requests.push_back({static_cast<vesk::RegionKind>(i % 3), static_cast<std::uint32_t>(i), region_of(src[i])});
  }
  const std::string snap = dir + "/bench_file_pipelines.vesk";
  const std::string raw = dir + "/bench_file_pipelines.dd";
  const vesk::RealCuda cuda;

  std::printf("payload: %.2f GiB in %zu regions (%llu bytes), chunk 64 MiB, directory %s\n", gib, kRegions,
              static_cast<unsigned long long>(payload), dir.c_str());

  const vesk::RegionResolver resolve = [&](vesk::RegionKind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
    if (id >= kRegions) return std::nullopt;
    return region_of(dst[id]);
  };
  Runs freeze_runs, restore_runs, dd_write_runs, dd_read_runs;
  std::uint64_t file_len = 0, dd_bytes = 0;
  std::string drop_how;
  for (int run = 0; run < kRuns; ++run) {
    std::optional<std::expected<vesk::FreezeStats, vesk::FreezeError>> frozen;
    freeze_runs.secs.push_back(seconds_of([&] {
      frozen = vesk::freeze_pipelined_to_file(cuda, requests, vesk::FreezeConfig{std::nullopt, kChunk, true}, snap);
    }));
    if (!*frozen) die("freeze: " + frozen->error().message());
    struct stat st {};
    if (::stat(snap.c_str(), &st) != 0) die("snapshot file missing");
    file_len = static_cast<std::uint64_t>(st.st_size);

    for (auto& v : dst) std::fill(v.begin(), v.end(), std::uint8_t{0});
    drop_how = drop_page_cache(snap);
    std::optional<std::expected<vesk::RestoreStats, vesk::RestoreError>> restored;
    restore_runs.secs.push_back(seconds_of([&] {
      restored = vesk::restore_pipelined(cuda, snap, resolve, vesk::PipelineConfig{kChunk, true});
    }));
    if (!*restored) die("restore: " + restored->error().message());
    for (std::size_t i = 0; i < kRegions; ++i)
      if (src[i] != dst[i]) die("restored region " + std::to_string(i) + " differs");
    ::unlink(snap.c_str());

    // The disk on the same byte count, in whole 64 MiB blocks.
    const std::uint64_t blocks = (file_len + 64 * kMiB - 1) / (64 * kMiB);
    dd_bytes = blocks * 64 * kMiB;
    dd_write_runs.secs.push_back(timed_command("dd if=/dev/zero of=" + shell_quote(raw) + " bs=64M count=" +
                                               std::to_string(blocks) + " oflag=direct status=none"));
    (void)drop_page_cache(raw);
    dd_read_runs.secs.push_back(
        timed_command("dd if=" + shell_quote(raw) + " of=/dev/null bs=64M iflag=direct status=none"));
    if (run + 1 < kRuns) ::unlink(raw.c_str());
  }
  const auto fio = fio_limits(raw, dd_bytes);
  ::unlink(raw.c_str());
  for (auto& v : dst) std::vector<std::uint8_t>().swap(v);

  const double freeze_gbps = gbps(file_len, freeze_runs.best());
  const double restore_gbps = gbps(file_len, restore_runs.best());
  const double dd_w = gbps(dd_bytes, dd_write_runs.best());
  const double dd_r = gbps(dd_bytes, dd_read_runs.best());
  std::printf("file: %llu bytes; dd and fio: %llu bytes\n", static_cast<unsigned long long>(file_len),
              static_cast<unsigned long long>(dd_bytes));
  std::printf("freeze:             %6.2f GB/s  (runs %s; the first allocates the staging buffers)\n", freeze_gbps,
              freeze_runs.list().c_str());
  std::printf("restore:            %6.2f GB/s  (runs %s; page cache dropped by %s)\n", restore_gbps,
              restore_runs.list().c_str(), drop_how.c_str());
  std::printf("dd direct write:    %6.2f GB/s  (runs %s)\n", dd_w, dd_write_runs.list().c_str());
  std::printf("dd direct read:     %6.2f GB/s  (runs %s)\n", dd_r, dd_read_runs.list().c_str());
  if (fio)
    std::printf("fio qd16 4M direct: write %6.2f GB/s, read %6.2f GB/s\n", fio->first, fio->second);
  else
    std::printf("fio: not run (not installed or no result)\n");
  std::printf("freeze / dd write:  %.3f  (target >= 0.85) %s\n", freeze_gbps / dd_w,
              freeze_gbps / dd_w >= 0.85 ? "met" : "NOT met");
  std::printf("restore / dd read:  %.3f  (target >= 0.90) %s\n", restore_gbps / dd_r,
              restore_gbps / dd_r >= 0.9 ? "met" : "NOT met");
  if (fio)
    std::printf("freeze / fio write: %.3f, restore / fio read: %.3f\n", freeze_gbps / fio->first,
                restore_gbps / fio->second);

  // Checksums: the region sources are no longer needed.
  for (auto& v : src) std::vector<std::uint8_t>().swap(v);
  std::vector<std::uint8_t> crc_buf(kGiB);
  fill_pattern(crc_buf, 99);
  const auto bytes = std::as_bytes(std::span(crc_buf));
  std::uint32_t par = 0, seq = 0;
  const double t_par = seconds_of([&] { par = vesk::crc32c_append_parallel(0, bytes); });
  // ISA-L's routine without the pre- and post-inversion that crc32c applies.
  const double t_seq = seconds_of([&] {
    seq = ~crc32_iscsi(crc_buf.data(), static_cast<int>(crc_buf.size()), 0xFFFFFFFFu);
  });
  if (par != seq) die("parallel and sequential CRC-32C differ");
  std::printf("crc32c_append_parallel: %6.2f GB/s; crc32_iscsi: %6.2f GB/s; ratio %.2f (%ld cores)\n",
              gbps(kGiB, t_par), gbps(kGiB, t_seq), t_seq / t_par, ::sysconf(_SC_NPROCESSORS_ONLN));
  return 0;
}
