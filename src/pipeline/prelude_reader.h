// Reads and parses the prelude (header block + region table) of a snapshot
// file, refusing a header whose table would lie past the end of the file
// before anything of the table's size is allocated.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "format/snapshot.h"
#include "io/byte_source.h"
#include "io/direct_file.h"

namespace vesk {

struct FilePrelude {
  Snapshot snapshot;
  std::uint64_t file_size = 0;
};

struct FilePreludeHeader {
  SnapshotHeader header;
  std::uint64_t file_size = 0;
};

struct TableEntryVisitor {
  // Once, before any entry, with the number of entries the header
  // announces, already checked against the file's length.
  std::function<void(std::uint64_t num_regions)> begin = [](std::uint64_t) {};
  // Each entry in table order; false stops the read, which then succeeds:
  // the visitor keeps its own reason.
  std::function<bool(const RegionEntry&)> entry;
};

// The same reading and checks as read_snapshot_prelude, without keeping the
// table: each entry goes to `visit` as soon as it is decoded, so a reader
// that needs less than the table (a restore that fails at an unmapped
// entry, a plan of its own) holds no more than one piece of it. An entry
// that does not decode fails the read before any entry after it is visited.
std::expected<FilePreludeHeader, SnapshotError> visit_snapshot_prelude(const ByteSource& source,
                                                                       const TableEntryVisitor& visit);
std::expected<FilePreludeHeader, SnapshotError> visit_snapshot_prelude(const DirectFile& file,
                                                                       const TableEntryVisitor& visit);

// Through an already open plain descriptor.
std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const DirectFile& file);
// Opens the path as a snapshot is opened for reading (io/readable_file.h).
std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const std::string& path);

// The number of table entries a reader may set room aside for at once: the
// header's count, up to a bound, so that a lying count does not claim a
// share of the address space that only real entries would justify.
std::size_t table_reserve_hint(std::uint64_t num_regions);

}  // namespace vesk
