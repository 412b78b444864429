// The prelude of a snapshot (header block + region table) in memory, and
// its codec.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "format/header.h"
#include "format/region.h"
#include "format/io_error_kind.h"

namespace vesk {

struct SnapshotError {
  struct Header {
    HeaderError inner;
  };
  struct Region {
    RegionError inner;
  };
  struct TruncatedTable {
    std::uint64_t got;
    std::uint64_t need;
  };
  struct OffsetOverflow {};
  struct Io {
    IoErrorKind kind;
    std::string message;
  };
  struct UnsupportedLayout {
    std::uint64_t region_table_offset;
  };
  std::variant<Header, Region, TruncatedTable, OffsetOverflow, Io, UnsupportedLayout> v;

  std::string message() const;
  // An I/O failure as the Io variant: its kind and its display text. The
  // failure is the I/O layer's error (io/io_error.h), taken by its shape so
  // that this layer needs nothing from the one above it.
  template <typename IoFailure>
    requires requires(const IoFailure& e) {
      { e.kind() } -> std::same_as<IoErrorKind>;
      { e.to_string() } -> std::convertible_to<std::string>;
    }
  static SnapshotError from_io(const IoFailure& e) {
    return {Io{e.kind(), e.to_string()}};
  }
};

class Snapshot {
 public:
  SnapshotHeader header;
  RegionTable table;

  static Snapshot from_header_and_table(SnapshotHeader header, RegionTable table) {
    return Snapshot{std::move(header), std::move(table)};
  }

  std::uint64_t prelude_size() const { return HEADER_SIZE + REGION_ENTRY_SIZE * table.size(); }
  std::vector<std::uint8_t> to_prelude_bytes() const;
  // Hands the prelude to a sink with a write-everything operation returning
  // the I/O layer's result (io/byte_sink.h); its failure becomes Io.
  template <typename Sink>
    requires requires(Sink& sink, std::span<const std::uint8_t> bytes) { sink.write_all(bytes).error(); }
  std::expected<std::uint64_t, SnapshotError> write_to(Sink& sink) const {
    std::vector<std::uint8_t> bytes = to_prelude_bytes();
    if (auto written = sink.write_all(bytes); !written) return std::unexpected(SnapshotError::from_io(written.error()));
    return bytes.size();
  }
  // Appends the prelude to an in-memory vector; cannot fail.
  std::uint64_t write_to(std::vector<std::uint8_t>& out) const;

  // `bytes` starts at file offset 0 and may extend past the prelude.
  // Rejects a region_table_offset other than 4096 (UnsupportedLayout) after
  // the overflow check and before the truncation check.
  static std::expected<Snapshot, SnapshotError> from_prelude_bytes(std::span<const std::uint8_t> bytes);

  bool operator==(const Snapshot&) const = default;
};

}  // namespace vesk
