// The block codec on Gaussian bfloat16 weights (std 0.02) and on random
// bytes, for each level and block size tried: the stored share of the
// bytes (of the weights also without byte planes, for comparison), and
// encode and decode speed on one core as shares of a memcpy of the same
// bytes into the same destination (so the figures say how the
// codec compares with this machine's own memory bandwidth, not with
// another machine).
//   bench_codec [MiB of each input, default 64] [levels, default 1,2,3,4]
//               [block MiB, default 1,2,4]
#include <algorithm>
#include <bit>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/block_codec.h"
#include "codec/payload_codec.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_codec: %s\n", what.c_str());
  std::exit(1);
}

std::vector<long> parse_list(const char* arg, const char* fallback) {
  std::vector<long> out;
  std::stringstream in(arg != nullptr ? arg : fallback);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::stol(item));
  return out;
}

// float -> bfloat16, rounding to nearest even as the frameworks cast.
std::uint16_t to_bf16(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  return static_cast<std::uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

std::vector<std::byte> gaussian_bf16(std::size_t bytes) {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> dist(0.0f, 0.02f);
  std::vector<std::byte> out(bytes);
  for (std::size_t i = 0; i + 1 < bytes; i += 2) {
    const std::uint16_t v = to_bf16(dist(rng));
    std::memcpy(out.data() + i, &v, 2);
  }
  return out;
}

std::vector<std::byte> random_bytes(std::size_t bytes) {
  std::mt19937_64 rng(11);
  std::vector<std::byte> out(bytes);
  for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(out.data() + i, &v, 8);
  }
  return out;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best of three, in this thread's CPU time: the figures are per core, and
// other work sharing the machine takes wall time but not this thread's.
template <typename Fn>
double best_seconds(Fn fn) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    const double t0 = thread_cpu_seconds();
    fn();
    best = std::min(best, thread_cpu_seconds() - t0);
  }
  return best;
}

struct Figures {
  double ratio;           // stored bytes / original bytes
  double encode_vs_copy;  // encode speed / memcpy speed
  double decode_vs_copy;  // decode speed / memcpy speed
  double decode_gbs;
};

Figures measure(const std::vector<std::byte>& original, std::size_t width, int level, std::size_t block) {
  auto encoder = vesk::BlockEncoder::create(level);
  auto decoder = vesk::BlockDecoder::create();
  if (!encoder || !decoder) die("cannot create the coder contexts");
  vesk::CodecResult<std::vector<std::byte>> payload;
  const double enc = best_seconds([&] { payload = vesk::encode_payload(original, width, block, *encoder); });
  if (!payload) die(payload.error().message());
  std::vector<std::byte> out(original.size());
  const double dec = best_seconds([&] {
    if (auto r = vesk::decode_payload(*payload, out, *decoder); !r) die(r.error().message());
  });
  if (out != original) die("the decoded bytes differ from the original");
  const double copy = best_seconds([&] { std::memcpy(out.data(), original.data(), original.size()); });
  const double n = static_cast<double>(original.size());
  return {static_cast<double>(payload->size()) / n, copy / enc, copy / dec, n / dec / 1e9};
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const auto levels = parse_list(argc > 2 ? argv[2] : nullptr, "1,2,3,4");
  const auto blocks = parse_list(argc > 3 ? argv[3] : nullptr, "1,2,4");
  if (mib == 0) die("the input size must be at least 1 MiB");
  const auto weights = gaussian_bf16(mib * kMiB);
  const auto noise = random_bytes(mib * kMiB);

  std::printf("bench_codec: %zu MiB each of Gaussian bfloat16 weights (std 0.02, planes of 2) and random bytes "
              "(planes of 1); speeds on one core (thread CPU time) as shares of memcpy of the same bytes\n", mib);
  std::printf("%6s %10s %10s %12s %10s %12s %12s %12s\n", "level", "block MiB", "bf16 ratio", "(no planes)",
              "rand ratio", "enc/memcpy", "dec/memcpy", "dec GB/s");
  for (long level : levels) {
    for (long block : blocks) {
      const std::size_t bytes = static_cast<std::size_t>(block) * kMiB;
      const Figures w = measure(weights, 2, static_cast<int>(level), bytes);
      const Figures interleaved = measure(weights, 1, static_cast<int>(level), bytes);
      const Figures r = measure(noise, 1, static_cast<int>(level), bytes);
      std::printf("%6ld %10ld %10.4f %12.4f %10.5f %12.3f %12.3f %12.2f\n", level, block, w.ratio, interleaved.ratio,
                  r.ratio, w.encode_vs_copy, w.decode_vs_copy, w.decode_gbs);
    }
  }
  return 0;
}
