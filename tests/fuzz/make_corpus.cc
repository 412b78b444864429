// Writes the seed snapshots of the fuzzers: real snapshots of a few KiB,
// laid out by the snapshot writer with correct checksums, and a few with
// the shapes the restores treat specially (no regions, empty regions, a
// region without a recorded checksum); and compressed region payloads
// (coded and raw blocks, every plane width, none at all).
//   make_corpus <corpus dir>   (writes <dir>/prelude/*, <dir>/memory/*, <dir>/codec/*)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "codec/payload_codec.h"
#include "snapshot_bytes.h"

namespace {

using vesk::RegionKind;
using Region = vesk::test::RegionShape;

std::vector<std::uint8_t> snapshot(const std::vector<Region>& regions, bool with_commit) {
  std::optional<vesk::VllmCommit> commit;
  if (with_commit) {
    commit.emplace();
    for (std::size_t i = 0; i < commit->size(); ++i) {
      (*commit)[i] = static_cast<std::uint8_t>("0123456789abcdef"[i % 16]);
    }
  }
  std::vector<vesk::test::PayloadRegion> payloads;
  for (const auto& r : regions) {
    const std::uint32_t seed = r.id + 17 * static_cast<std::uint32_t>(r.kind);
    payloads.push_back({r.kind, r.id, vesk::test::pattern_bytes(r.size, seed), r.record_crc});
  }
  return vesk::test::snapshot_bytes(payloads, commit).bytes;
}

// Little-endian 16-bit values clustered near zero, as model weights are
// (a sum of uniform draws), then `noise` bytes of a plain pattern.
std::vector<std::byte> weights_then_noise(std::size_t weights, std::size_t noise) {
  std::vector<std::byte> out;
  std::uint32_t x = 12345;
  auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 16; };
  for (std::size_t i = 0; i < weights / 2; ++i) {
    const std::uint32_t v = 0x3c00u + (next() % 64) + (next() % 64) - 64;
    out.push_back(static_cast<std::byte>(v));
    out.push_back(static_cast<std::byte>(v >> 8));
  }
  for (std::uint8_t b : vesk::test::pattern_bytes(noise, 3)) out.push_back(static_cast<std::byte>(b));
  return out;
}

// The codec fuzzer's input: a mode byte (odd: reseal the CRCs), then the payload.
std::vector<std::uint8_t> payload(const std::vector<std::byte>& original, std::size_t width, std::size_t block,
                                  std::uint8_t mode) {
  auto encoder = vesk::BlockEncoder::create(vesk::kDefaultCodecLevel);
  auto stored = encoder ? vesk::encode_payload(original, width, block, *encoder) : std::unexpected(encoder.error());
  if (!stored) {
    std::fprintf(stderr, "make_corpus: %s\n", stored.error().message().c_str());
    std::exit(1);
  }
  std::vector<std::uint8_t> out{mode};
  for (std::byte b : *stored) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

bool write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<Region> three = {
      {RegionKind::Weights, 0, 1500}, {RegionKind::KvLiveBlock, 7, 2900}, {RegionKind::Metadata, 1, 300}};
  const std::vector<Region> with_empty = {
      {RegionKind::Weights, 3, 0}, {RegionKind::Weights, 4, 700}, {RegionKind::KvLiveBlock, 0, 0}};
  const std::vector<Region> unchecked = {{RegionKind::Metadata, 9, 1000, false}, {RegionKind::Weights, 2, 600}};
  const std::vector<Region> many_small = [] {
    std::vector<Region> v;
    for (std::uint32_t i = 0; i < 40; ++i) v.push_back({static_cast<RegionKind>(i % 3), i, (i * 37) % 90});
    return v;
  }();

  bool ok = true;
  // The prelude parser sees whole files; short payloads keep them small.
  ok &= write(dir + "/prelude/empty.vesk", snapshot({}, false));
  ok &= write(dir + "/prelude/three.vesk", snapshot(three, true));
  ok &= write(dir + "/prelude/many_small.vesk", snapshot(many_small, false));
  ok &= write(dir + "/memory/empty.vesk", snapshot({}, true));
  ok &= write(dir + "/memory/three.vesk", snapshot(three, false));
  ok &= write(dir + "/memory/with_empty.vesk", snapshot(with_empty, false));
  ok &= write(dir + "/memory/unchecked.vesk", snapshot(unchecked, false));
  ok &= write(dir + "/memory/many_small.vesk", snapshot(many_small, true));
  ok &= write(dir + "/codec/weights.vblk", payload(weights_then_noise(8192, 3000), 2, 4096, 1));
  ok &= write(dir + "/codec/weights_as_is.vblk", payload(weights_then_noise(8192, 3000), 2, 4096, 0));
  ok &= write(dir + "/codec/width4.vblk", payload(weights_then_noise(6000, 0), 4, 2048, 1));
  ok &= write(dir + "/codec/zeros.vblk", payload(std::vector<std::byte>(20000), 8, 8192, 1));
  ok &= write(dir + "/codec/empty.vblk", payload({}, 1, 4096, 0));
  if (!ok) {
    std::fprintf(stderr, "make_corpus: cannot write under %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
