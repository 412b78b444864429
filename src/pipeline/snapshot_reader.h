// Reads a snapshot's layout (header and table), its manifest and single
// regions from any ByteSource: the one decoder behind inspection, checking,
// the named API and the loaders, whatever holds the bytes. Nothing here
// allocates more than the source really holds: the table's claim is checked
// against the source's length before it is read, the manifest's against
// what a manifest of that table can need.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "format/manifest.h"
#include "format/snapshot.h"
#include "io/byte_source.h"
#include "pipeline/types.h"

namespace vesk {

struct ReadError {
  // The texts every restore path uses: parse errors, I/O, payload bounds,
  // checksums.
  struct Restore {
    RestoreError inner;
  };
  // The manifest of the named source is unusable.
  struct Manifest {
    std::string source;
    ManifestError inner;
  };
  std::variant<Restore, Manifest> v;

  std::string message() const;
};

struct SnapshotLayout {
  SnapshotHeader header;
  RegionTable table;
  std::uint64_t length = 0;
};

std::expected<SnapshotLayout, ReadError> read_snapshot_layout(const ByteSource& source);

// The entry a restore uses for `key`: the last one in the table.
const RegionEntry* find_region(const RegionTable& table, RegionKey key);

// One region's bytes, checked against its recorded CRC-32C.
std::expected<std::vector<std::uint8_t>, ReadError> read_region(const ByteSource& source, const RegionEntry& entry);

struct ManifestRegion {
  Manifest manifest;
  std::vector<std::uint8_t> raw;  // as stored, for a restore to compare
};

// The manifest, decoded and checked against the table; nullopt when the
// snapshot has none (it was written by the region functions).
std::expected<std::optional<ManifestRegion>, ReadError> read_snapshot_manifest(const ByteSource& source,
                                                                         const RegionTable& table);

struct VerifyMismatch {
  std::size_t index;
  std::uint32_t recorded;
  std::uint32_t computed;
};

struct VerifyReport {
  std::vector<VerifyMismatch> mismatches;
  std::size_t regions_checked = 0;
  std::uint64_t bytes_checked = 0;
};

// Recomputes the CRC-32C of every region with a recorded one, reading the
// source in file order; `progress(bytes)` after each piece read, false from
// it abandons the check (the caller keeps its reason). A region beyond the
// source's end is PayloadOutOfBounds before anything is read; a source that
// shrinks meanwhile is an I/O error.
std::expected<std::optional<VerifyReport>, ReadError> verify_regions(
    const ByteSource& source, const RegionTable& table, const std::function<bool(std::uint64_t)>& progress);

}  // namespace vesk
