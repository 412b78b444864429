#include "pipeline/prelude_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

namespace vesk {

std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const DirectFile& file) {
  struct stat st {};
  if (::fstat(file.file.get(), &st) != 0) return std::unexpected(SnapshotError::from_io(IoError::from_errno(errno)));
  const auto file_size = static_cast<std::uint64_t>(st.st_size);

  std::vector<std::uint8_t> head(HEADER_SIZE);
  if (auto r = pread_exact(file, std::as_writable_bytes(std::span(head)), 0); !r)
    return std::unexpected(SnapshotError::from_io(r.error()));
  if (auto snap = Snapshot::from_prelude_bytes(head)) return FilePrelude{std::move(*snap), file_size};

  // A table follows: magic and version first, then its size against the file.
  auto header = SnapshotHeader::from_bytes(head);
  if (!header) return std::unexpected(SnapshotError{SnapshotError::Header{header.error()}});
  const std::uint64_t n = header->num_regions;
  if (n > (UINT64_MAX - HEADER_SIZE) / REGION_ENTRY_SIZE) return std::unexpected(SnapshotError{SnapshotError::OffsetOverflow{}});
  const std::uint64_t prelude_size = HEADER_SIZE + REGION_ENTRY_SIZE * n;
  if (prelude_size > file_size) return std::unexpected(SnapshotError{SnapshotError::TruncatedTable{file_size, prelude_size}});

  std::vector<std::uint8_t> prelude(prelude_size);
  if (auto r = pread_exact(file, std::as_writable_bytes(std::span(prelude)), 0); !r)
    return std::unexpected(SnapshotError::from_io(r.error()));
  auto snap = Snapshot::from_prelude_bytes(prelude);
  if (!snap) return std::unexpected(snap.error());
  return FilePrelude{std::move(*snap), file_size};
}

std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const std::string& path) {
  auto file = open_direct(path, false);
  if (!file) return std::unexpected(SnapshotError::from_io(file.error()));
  return read_snapshot_prelude(*file);
}

}  // namespace vesk
