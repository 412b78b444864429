// The prelude of a snapshot (header block + region table) in memory, and
// its codec.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "format/header.h"
#include "format/region.h"
#include "io/io_error.h"

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
  // An I/O failure as the Io variant: its kind and its display text.
  static SnapshotError from_io(const IoError& e) { return {Io{e.kind(), e.to_string()}}; }
};

// A byte sink with a write-everything operation (Snapshot::write_to).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual IoResult<void> write_all(std::span<const std::uint8_t> bytes) = 0;
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
  std::expected<std::uint64_t, SnapshotError> write_to(ByteSink& sink) const;
  // Appends the prelude to an in-memory vector; cannot fail.
  std::uint64_t write_to(std::vector<std::uint8_t>& out) const;

  // `bytes` starts at file offset 0 and may extend past the prelude.
  // Rejects a region_table_offset other than 4096 (UnsupportedLayout) after
  // the overflow and truncation checks.
  static std::expected<Snapshot, SnapshotError> from_prelude_bytes(std::span<const std::uint8_t> bytes);

  bool operator==(const Snapshot&) const = default;
};

}  // namespace vesk
