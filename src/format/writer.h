// Lays out a new snapshot from region metadata: header at 0, table at
// 4096, payload packed after the table in push order.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "format/header.h"
#include "format/region.h"
#include "format/snapshot.h"

namespace vesk {

struct PendingRegion {
  RegionKind kind;
  std::uint32_t logical_id;
  std::uint64_t size;
  std::vector<std::uint8_t> bytes;  // left empty: the layout needs only `size`
  std::uint32_t crc32c;
};

class ByteRegionWriter {
 public:
  ByteRegionWriter() = default;

  ByteRegionWriter& set_vllm_commit(const VllmCommit& commit) {
    vllm_commit_ = commit;
    return *this;
  }
  void push_region_metadata(RegionKind kind, std::uint32_t logical_id, std::uint64_t size) {
    push_region_metadata_with_crc(kind, logical_id, size, 0);
  }
  void push_region_metadata_with_crc(RegionKind kind, std::uint32_t logical_id, std::uint64_t size,
                                     std::uint32_t crc32c) {
    pending_.push_back(PendingRegion{kind, logical_id, size, {}, crc32c});
  }
  Snapshot build_snapshot() const;

 private:
  std::vector<PendingRegion> pending_;
  std::optional<VllmCommit> vllm_commit_;
};

}  // namespace vesk
