// Freeze to a file and restore from it, against the disk's own limits on
// the same file system, with each chunk moved as one request and as pieces
// in flight together.
//
//   bench_file_pipelines [GiB = 4] [directory = .] [rounds = 3] [DEPTHxMiB ...]
//
// A snapshot of GiB gibibytes of payload, 64 regions of mixed sizes (many
// not multiples of 4096), is frozen from host memory playing device memory
// and restored into fresh host memory, with 64 MiB chunks and O_DIRECT as
// the module uses them: once per design, the one-request design (each
// chunk one pwrite / pread) and the defaults (see pipeline/io_pieces.h),
// plus any further DEPTHxMiB designs given for both directions (8x8 =
// eight requests of 8 MiB in flight). The
// last snapshot of each round is then read again with direct I/O by dd in
// 64 MiB blocks and by fio with 4 MiB blocks at queue depth 16 (when fio is
// installed), and the same byte count is written by dd and by fio: into a
// new file (fio reserves it first, as the freeze does chunk by chunk) and
// over the file dd wrote, which needs no allocation at all.
//
// The disk is shared and its speed varies from second to second, so every
// transfer runs once per round, the designs in alternating order, and the
// best run counts; every run is printed. The first freeze also pays for
// allocating the staging buffers, which later freezes on the thread take
// from the cache.
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
#include <utility>
#include <vector>

#include "../tests/standin/standin.h"
#include "backend/real_cuda.h"
#include "cuda/runtime.h"
#include "pipeline/checksum.h"
#include "pipeline/freeze.h"
#include "pipeline/io_pieces.h"
#include "pipeline/restore_file.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kChunk = 64 * kMiB;
constexpr std::size_t kRegions = 64;
constexpr int kDefaultRounds = 3;

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

// fio's rate of each round, in GB/s.
struct Rates {
  std::vector<double> gbps;
  bool empty() const { return gbps.empty(); }
  double best() const { return *std::max_element(gbps.begin(), gbps.end()); }
  std::string list() const {
    std::string out;
    for (double r : gbps) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%.2f", out.empty() ? "" : " ", r);
      out += buf;
    }
    return out + " GB/s";
  }
};

// One way of moving each chunk, and its runs.
struct Design {
  std::string name;
  vesk::IoPieces write_pieces, read_pieces;
  Runs freeze, restore;
};

std::string pieces_name(vesk::IoPieces p) {
  if (p.depth == 1) return "one request per chunk";
  return std::to_string(p.depth) + " x " + std::to_string(p.piece_size / kMiB) + " MiB in flight";
}

// "8x8": eight requests of 8 MiB.
vesk::IoPieces parse_design(const std::string& text) {
  const auto x = text.find('x');
  if (x == std::string::npos) die("design must look like DEPTHxMiB, got " + text);
  const unsigned long depth = std::strtoul(text.substr(0, x).c_str(), nullptr, 10);
  const unsigned long mib = std::strtoul(text.substr(x + 1).c_str(), nullptr, 10);
  if (depth < 1 || depth > vesk::kMaxIoDepth || mib < 1) die("bad design " + text);
  return vesk::IoPieces{static_cast<std::uint32_t>(depth), mib * kMiB};
}

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

// One region of the stand-in's device memory (cudaMalloc), zeroed so that
// its pages exist before anything is timed.
class DeviceBytes {
 public:
  DeviceBytes() = default;
  explicit DeviceBytes(std::size_t n) : size_(n) {
    if (cudaMalloc(&ptr_, std::max<std::size_t>(n, 1)) != 0) die("cudaMalloc failed");
    std::memset(ptr_, 0, n);
  }
  DeviceBytes(DeviceBytes&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  DeviceBytes& operator=(DeviceBytes&& o) noexcept {
    std::swap(ptr_, o.ptr_);
    std::swap(size_, o.size_);
    return *this;
  }
  ~DeviceBytes() {
    if (ptr_ != nullptr) cudaFree(ptr_);
  }
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(ptr_); }
  std::size_t size() const { return size_; }
  bool operator==(const DeviceBytes& o) const { return size_ == o.size_ && std::memcmp(ptr_, o.ptr_, size_) == 0; }

 private:
  void* ptr_ = nullptr;
  std::size_t size_ = 0;
};

template <class Bytes>
void fill_pattern(Bytes& v, std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  std::size_t i = 0;
  for (; i + 8 <= v.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(v.data() + i, &x, 8);
  }
  for (; i < v.size(); ++i) v.data()[i] = static_cast<std::uint8_t>(i);
}

vesk::DeviceRegion region_of(const DeviceBytes& v) {
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

bool have_fio() { return std::system("command -v fio >/dev/null 2>&1") == 0; }

// One fio job at queue depth 16 with 4 MiB direct requests, in GB/s.
std::optional<double> fio_rate(const std::string& file, std::uint64_t bytes, const std::string& rw) {
  const std::string cmd = "fio --name=" + rw + " --rw=" + rw + " --filename=" + shell_quote(file) +
                          " --size=" + std::to_string(bytes) +
                          " --bs=4M --iodepth=16 --ioengine=libaio --direct=1 --output-format=json 2>/dev/null";
  const auto bw = fio_bw_bytes(run_capture(cmd), rw == "read" ? "read" : "write");
  if (!bw) return std::nullopt;
  return *bw / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const double gib = argc > 1 ? std::strtod(argv[1], nullptr) : 4.0;
  const std::string dir = argc > 2 ? argv[2] : ".";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : kDefaultRounds;
  if (!(gib > 0)) die("size must be a positive number of GiB");
  if (rounds < 1) die("rounds must be at least 1");
  const auto one = vesk::IoPieces::one_request();
  const vesk::IoPieces write_default = vesk::FreezeConfig{}.io_pieces, read_default = vesk::PipelineConfig{}.io_pieces;
  std::vector<Design> designs = {
      {pieces_name(one), one, one, {}, {}},
      {"default: writes " + pieces_name(write_default) + ", reads " + pieces_name(read_default), write_default,
       read_default, {}, {}}};
  for (int i = 4; i < argc; ++i) {
    const auto p = parse_design(argv[i]);
    designs.push_back({pieces_name(p), p, p, {}, {}});
  }
  if (auto rt = vesk::load_cuda_runtime({VESK_STANDIN_PATH}); !rt) die(rt.error());
  standin_set_delay_us(0);  // the stand-in's artificial latency is not what is measured here

  const auto payload = static_cast<std::uint64_t>(gib * static_cast<double>(kGiB));
  const auto sizes = region_sizes(payload);
  std::vector<DeviceBytes> src(kRegions), dst(kRegions);
  std::vector<vesk::FreezeRequest> requests;
  for (std::size_t i = 0; i < kRegions; ++i) {
    src[i] = DeviceBytes(sizes[i]);
    fill_pattern(src[i], i + 1);
    dst[i] = DeviceBytes(sizes[i]);
    requests.push_back({static_cast<vesk::RegionKind>(i % 3), static_cast<std::uint32_t>(i), region_of(src[i])});
  }
  const std::string snap = dir + "/bench_file_pipelines.vesk";
  const std::string raw = dir + "/bench_file_pipelines.dd";
  const std::string fio_new = dir + "/bench_file_pipelines.fio";
  const vesk::RealCuda cuda;
  const bool fio = have_fio();

  std::printf("payload: %.2f GiB in %zu regions (%llu bytes), chunk 64 MiB, directory %s, %d rounds\n", gib,
              kRegions, static_cast<unsigned long long>(payload), dir.c_str(), rounds);
  std::fflush(stdout);

  const vesk::RegionResolver resolve = [&](vesk::RegionKind, std::uint32_t id) -> std::optional<vesk::DeviceRegion> {
    if (id >= kRegions) return std::nullopt;
    return region_of(dst[id]);
  };
  Runs dd_write_runs, dd_read_runs;
  Rates fio_read, fio_write_new, fio_write_over;
  std::uint64_t file_len = 0, dd_bytes = 0;
  std::string drop_how;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < designs.size(); ++k) {
      // Alternate the order, so that neither design always follows dd.
      Design& d = designs[round % 2 == 0 ? k : designs.size() - 1 - k];
      vesk::FreezeConfig fcfg{std::nullopt, kChunk, true};
      fcfg.io_pieces = d.write_pieces;
      std::optional<std::expected<vesk::FreezeStats, vesk::FreezeError>> frozen;
      d.freeze.secs.push_back(
          seconds_of([&] { frozen = vesk::freeze_pipelined_to_file(cuda, requests, fcfg, snap); }));
      if (!*frozen) die("freeze: " + frozen->error().message());
      struct stat st {};
      if (::stat(snap.c_str(), &st) != 0) die("snapshot file missing");
      file_len = static_cast<std::uint64_t>(st.st_size);

      for (auto& v : dst) std::memset(v.data(), 0, v.size());
      drop_how = drop_page_cache(snap);
      vesk::PipelineConfig rcfg{kChunk, true};
      rcfg.io_pieces = d.read_pieces;
      std::optional<std::expected<vesk::RestoreStats, vesk::RestoreError>> restored;
      d.restore.secs.push_back(seconds_of([&] { restored = vesk::restore_pipelined(cuda, snap, resolve, rcfg); }));
      if (!*restored) die("restore: " + restored->error().message());
      for (std::size_t i = 0; i < kRegions; ++i)
        if (!(src[i] == dst[i])) die("restored region " + std::to_string(i) + " differs");
      if (k + 1 < designs.size()) ::unlink(snap.c_str());
      std::printf("round %d, %s: freeze %.3f s, restore %.3f s\n", round + 1, d.name.c_str(), d.freeze.secs.back(),
                  d.restore.secs.back());
      std::fflush(stdout);
    }

    // The disk reading the snapshot just restored, the same file in the
    // same place; then writing the same byte count in whole 64 MiB blocks.
    (void)drop_page_cache(snap);
    dd_read_runs.secs.push_back(
        timed_command("dd if=" + shell_quote(snap) + " of=/dev/null bs=64M iflag=direct status=none"));
    if (fio) {
      (void)drop_page_cache(snap);
      if (auto r = fio_rate(snap, file_len / (4 * kMiB) * (4 * kMiB), "read")) fio_read.gbps.push_back(*r);
    }
    ::unlink(snap.c_str());
    const std::uint64_t blocks = (file_len + 64 * kMiB - 1) / (64 * kMiB);
    dd_bytes = blocks * 64 * kMiB;
    dd_write_runs.secs.push_back(timed_command("dd if=/dev/zero of=" + shell_quote(raw) + " bs=64M count=" +
                                               std::to_string(blocks) + " oflag=direct status=none"));
    if (fio) {
      if (auto r = fio_rate(raw, dd_bytes, "write")) fio_write_over.gbps.push_back(*r);
      ::unlink(fio_new.c_str());
      if (auto r = fio_rate(fio_new, dd_bytes, "write")) fio_write_new.gbps.push_back(*r);
      ::unlink(fio_new.c_str());
    }
    ::unlink(raw.c_str());
  }
  dst.clear();

  const double dd_w = gbps(dd_bytes, dd_write_runs.best());
  const double dd_r = gbps(file_len, dd_read_runs.best());
  std::printf("\nfile: %llu bytes, read again by dd and fio; dd and fio writes: %llu bytes; page cache dropped "
              "before every read by %s\n",
              static_cast<unsigned long long>(file_len), static_cast<unsigned long long>(dd_bytes), drop_how.c_str());
  for (const auto& d : designs) {
    std::printf("%s:\n", d.name.c_str());
    std::printf("  freeze:  %6.2f GB/s  (runs %s)\n", gbps(file_len, d.freeze.best()), d.freeze.list().c_str());
    std::printf("  restore: %6.2f GB/s  (runs %s)\n", gbps(file_len, d.restore.best()), d.restore.list().c_str());
  }
  std::printf("dd direct 64M write:          %6.2f GB/s  (runs %s)\n", dd_w, dd_write_runs.list().c_str());
  std::printf("dd direct 64M read:           %6.2f GB/s  (runs %s)\n", dd_r, dd_read_runs.list().c_str());
  const bool fio_ok = !fio_read.empty() && !fio_write_new.empty() && !fio_write_over.empty();
  if (fio_ok) {
    std::printf("fio qd16 4M read:             %6.2f GB/s  (runs %s)\n", fio_read.best(), fio_read.list().c_str());
    std::printf("fio qd16 4M write, new file:  %6.2f GB/s  (runs %s)\n", fio_write_new.best(),
                fio_write_new.list().c_str());
    std::printf("fio qd16 4M write, overwrite: %6.2f GB/s  (runs %s)\n", fio_write_over.best(),
                fio_write_over.list().c_str());
  } else {
    std::printf("fio: not run (not installed or no result)\n");
  }

  // Ratios of the best runs.
  const Design& old = designs[0];
  const Design& def = designs[1];
  const double old_f = gbps(file_len, old.freeze.best()), old_r = gbps(file_len, old.restore.best());
  const double new_f = gbps(file_len, def.freeze.best()), new_r = gbps(file_len, def.restore.best());
  std::printf("\ndefault against one request: freeze %.3f, restore %.3f (on memory file systems both take one request)\n",
              new_f / old_f, new_r / old_r);
  std::printf("freeze / dd write: %.3f, restore / dd read: %.3f\n", new_f / dd_w, new_r / dd_r);
  if (fio_ok) {
    auto verdict = [](double ratio) { return ratio >= 0.9 ? "met" : "NOT met"; };
    const double r_fio = new_r / fio_read.best();
    const double f_new = new_f / fio_write_new.best(), f_over = new_f / fio_write_over.best();
    std::printf("restore / fio read:               %.3f  (target >= 0.90) %s\n", r_fio, verdict(r_fio));
    std::printf("freeze / fio write into new file: %.3f  (target >= 0.90) %s\n", f_new, verdict(f_new));
    std::printf("freeze / fio overwrite:           %.3f  (target >= 0.90) %s; a freeze always writes a new file\n",
                f_over, verdict(f_over));
  }

  // Checksums: the region sources are no longer needed.
  src.clear();
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
