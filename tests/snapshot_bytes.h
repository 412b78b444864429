// A whole snapshot file built in memory as the writer lays it out: the
// prelude, then each payload at its table offset. Shared by the tests and
// the fuzzers' corpus generator.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/writer.h"
#include "pipeline/checksum.h"

namespace vesk::test {

// Bytes that differ between regions and between positions.
inline std::vector<std::uint8_t> pattern_bytes(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

// A region to lay out; its payload is made from a seed of the caller's.
struct RegionShape {
  RegionKind kind;
  std::uint32_t id;
  std::uint64_t size;
  bool record_crc = true;  // false: the entry records 0, "not checked"
};

struct PayloadRegion {
  RegionKind kind;
  std::uint32_t id;
  std::vector<std::uint8_t> payload;
  bool record_crc = true;
};

struct SnapshotBytes {
  std::vector<std::uint8_t> bytes;
  std::vector<RegionEntry> entries;  // in the order of the regions given
};

inline SnapshotBytes snapshot_bytes(const std::vector<PayloadRegion>& regions,
                                    std::optional<VllmCommit> commit = std::nullopt) {
  ByteRegionWriter writer;
  if (commit) writer.set_vllm_commit(*commit);
  for (const PayloadRegion& r : regions) {
    const std::uint32_t crc = r.record_crc ? crc32c(std::as_bytes(std::span(r.payload))) : 0;
    writer.push_region_metadata_with_crc(r.kind, r.id, r.payload.size(), crc);
  }
  const Snapshot snap = writer.build_snapshot();
  SnapshotBytes out{snap.to_prelude_bytes(), {}};
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const RegionEntry& e = snap.table.entries()[i];
    out.entries.push_back(e);
    if (out.bytes.size() < e.file_offset + e.size) out.bytes.resize(e.file_offset + e.size);
    std::copy(regions[i].payload.begin(), regions[i].payload.end(),
              out.bytes.begin() + static_cast<std::ptrdiff_t>(e.file_offset));
  }
  return out;
}

}  // namespace vesk::test
