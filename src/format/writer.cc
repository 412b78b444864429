#include "format/writer.h"

namespace vesk {

Snapshot ByteRegionWriter::build_snapshot() const {
  RegionTable table;
  // Payload packed right after the table, in push order, without padding.
  std::uint64_t offset = HEADER_SIZE + REGION_ENTRY_SIZE * pending_.size();
  for (const PendingRegion& p : pending_) {
    table.push(RegionEntry{p.kind, p.logical_id, p.size, offset, p.crc32c});
    offset += p.size;
  }
  SnapshotHeader header;
  header.num_regions = pending_.size();
  header.region_table_offset = HEADER_SIZE;
  header.vllm_commit = vllm_commit_.value_or(VllmCommit{});
  return Snapshot::from_header_and_table(std::move(header), std::move(table));
}

}  // namespace vesk
