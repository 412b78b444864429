#include "format/snapshot.h"

#include <limits>

namespace vesk {

std::string SnapshotError::message() const {
  struct Visitor {
    std::string operator()(const Header& e) const { return "header parse failed: " + e.inner.message(); }
    std::string operator()(const Region& e) const { return "region table parse failed: " + e.inner.message(); }
    std::string operator()(const TruncatedTable& e) const {
      return "snapshot prelude is truncated: got " + std::to_string(e.got) + " bytes, need " +
             std::to_string(e.need);
    }
    std::string operator()(const OffsetOverflow&) const { return "snapshot prelude offsets overflow usize"; }
    std::string operator()(const Io& e) const {
      return "i/o error during snapshot prelude: " + std::string(io_error_kind_name(e.kind)) + ": " + e.message;
    }
    std::string operator()(const UnsupportedLayout& e) const {
      return "unsupported snapshot layout: region_table_offset = " + std::to_string(e.region_table_offset) +
             " (expected " + std::to_string(HEADER_SIZE) + ")";
    }
  };
  return std::visit(Visitor{}, v);
}

std::vector<std::uint8_t> Snapshot::to_prelude_bytes() const {
  std::vector<std::uint8_t> out;
  write_to(out);
  return out;
}

std::uint64_t Snapshot::write_to(std::vector<std::uint8_t>& out) const {
  out.reserve(out.size() + prelude_size());
  std::vector<std::uint8_t> head = header.to_bytes();
  out.insert(out.end(), head.begin(), head.end());
  std::size_t table_at = out.size();
  out.resize(table_at + REGION_ENTRY_SIZE * table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    table.entries()[i].encode_into(std::span<std::uint8_t, REGION_ENTRY_SIZE>(
        out.data() + table_at + i * REGION_ENTRY_SIZE, REGION_ENTRY_SIZE));
  }
  return prelude_size();
}

namespace {

// Builds the error in place inside the result.
template <typename Variant>
std::expected<Snapshot, SnapshotError> prelude_error(Variant v) {
  return std::expected<Snapshot, SnapshotError>(std::unexpect, std::move(v));
}

}  // namespace

std::expected<Snapshot, SnapshotError> Snapshot::from_prelude_bytes(std::span<const std::uint8_t> bytes) {
  auto header = SnapshotHeader::from_bytes(bytes);
  if (!header) return prelude_error(SnapshotError::Header{header.error()});

  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t n = header->num_regions;
  const std::uint64_t t = header->region_table_offset;
  if (n > max / REGION_ENTRY_SIZE || t > max - REGION_ENTRY_SIZE * n) {
    return prelude_error(SnapshotError::OffsetOverflow{});
  }
  // Every snapshot this system writes keeps its table right after the
  // header; the file restore reads exactly that much prelude, so a table
  // anywhere else would be decoded here and then missed there. Refused
  // before the length check, which would otherwise blame a table that is
  // merely elsewhere for a file that is too short.
  if (t != HEADER_SIZE) return prelude_error(SnapshotError::UnsupportedLayout{t});
  const std::uint64_t need = t + REGION_ENTRY_SIZE * n;
  if (bytes.size() < need) return prelude_error(SnapshotError::TruncatedTable{bytes.size(), need});

  auto table = RegionTable::from_bytes(bytes.subspan(t, need - t), n);
  if (!table) return prelude_error(SnapshotError::Region{table.error()});
  return from_header_and_table(*std::move(header), *std::move(table));
}

}  // namespace vesk
