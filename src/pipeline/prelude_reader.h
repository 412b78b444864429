// Reads and parses the prelude (header block + region table) of a snapshot
// file, refusing a header whose table would lie past the end of the file
// before anything of the table's size is allocated.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "format/snapshot.h"
#include "io/direct_file.h"

namespace vesk {

struct FilePrelude {
  Snapshot snapshot;
  std::uint64_t file_size = 0;
};

// Through an already open plain descriptor.
std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const DirectFile& file);
std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const std::string& path);

}  // namespace vesk
