// Writes the seed snapshots of the fuzzers: real snapshots of a few KiB,
// laid out by the snapshot writer with correct checksums, and a few with
// the shapes the restores treat specially (no regions, empty regions, a
// region without a recorded checksum).
//   make_corpus <corpus dir>   (writes <dir>/prelude/* and <dir>/memory/*)
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

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
  if (!ok) {
    std::fprintf(stderr, "make_corpus: cannot write under %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
