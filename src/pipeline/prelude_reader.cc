#include "pipeline/prelude_reader.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "io/readable_file.h"

namespace vesk {

namespace {

// The table is read and decoded in pieces of this many bytes (32768
// entries). A corrupted entry count, say a flipped high bit in num_regions
// of a large file, then fails at the first bytes past the real table that
// are no entry, instead of first allocating and reading a prelude that can
// be as large as the file.
constexpr std::size_t kTablePieceBytes = std::size_t{1} << 20;

// 2^24 entries: a 512 MiB table, far beyond any real snapshot.
constexpr std::uint64_t kMaxReserveEntries = std::uint64_t{1} << 24;

// An open descriptor read as a source, for the callers that hold one.
class BorrowedFileSource final : public ByteSource {
 public:
  BorrowedFileSource(const DirectFile& file, std::uint64_t length) : file_(file), length_(length) {}
  std::uint64_t length() const override { return length_; }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override {
    return pread_exact(file_, buf, offset);
  }
  std::string label() const override { return "snapshot file"; }

 private:
  const DirectFile& file_;
  std::uint64_t length_;
};

}  // namespace

std::size_t table_reserve_hint(std::uint64_t num_regions) {
  return static_cast<std::size_t>(std::min(num_regions, kMaxReserveEntries));
}

std::expected<FilePreludeHeader, SnapshotError> visit_snapshot_prelude(const ByteSource& source,
                                                                       const TableEntryVisitor& visit) {
  const std::uint64_t file_size = source.length();

  std::vector<std::uint8_t> head(HEADER_SIZE);
  if (auto r = source.read_exact(std::as_writable_bytes(std::span(head)), 0); !r)
    return std::unexpected(SnapshotError::from_io(r.error()));
  if (auto snap = Snapshot::from_prelude_bytes(head)) {
    visit.begin(snap->table.size());
    for (const auto& entry : snap->table) {
      if (!visit.entry(entry)) break;
    }
    return FilePreludeHeader{std::move(snap->header), file_size};
  }

  // A table follows: magic and version first, then its size against the file.
  auto header = SnapshotHeader::from_bytes(head);
  if (!header) return std::unexpected(SnapshotError{SnapshotError::Header{header.error()}});
  // The same checks in the same order as Snapshot::from_prelude_bytes.
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t n = header->num_regions;
  const std::uint64_t t = header->region_table_offset;
  if (n > max / REGION_ENTRY_SIZE || t > max - REGION_ENTRY_SIZE * n)
    return std::unexpected(SnapshotError{SnapshotError::OffsetOverflow{}});
  if (t != HEADER_SIZE) return std::unexpected(SnapshotError{SnapshotError::UnsupportedLayout{t}});
  const std::uint64_t prelude_size = HEADER_SIZE + REGION_ENTRY_SIZE * n;
  if (prelude_size > file_size) return std::unexpected(SnapshotError{SnapshotError::TruncatedTable{file_size, prelude_size}});

  // Entries go straight from each piece to the visitor; the first one that
  // does not decode ends the read.
  visit.begin(n);
  const std::uint64_t table_bytes = prelude_size - HEADER_SIZE;
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min<std::uint64_t>(kTablePieceBytes, table_bytes)));
  for (std::uint64_t at = HEADER_SIZE; at < prelude_size;) {
    const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), prelude_size - at));
    const std::span<std::uint8_t> bytes(piece.data(), len);
    if (auto r = source.read_exact(std::as_writable_bytes(bytes), at); !r)
      return std::unexpected(SnapshotError::from_io(r.error()));
    for (std::size_t k = 0; k < len; k += REGION_ENTRY_SIZE) {
      auto entry = RegionEntry::from_bytes(bytes.subspan(k, REGION_ENTRY_SIZE));
      if (!entry) return std::unexpected(SnapshotError{SnapshotError::Region{entry.error()}});
      if (!visit.entry(*entry)) return FilePreludeHeader{*std::move(header), file_size};
    }
    at += len;
  }
  return FilePreludeHeader{*std::move(header), file_size};
}

std::expected<FilePreludeHeader, SnapshotError> visit_snapshot_prelude(const DirectFile& file,
                                                                       const TableEntryVisitor& visit) {
  const auto length = readable_length(file);
  if (!length) return std::unexpected(SnapshotError::from_io(length.error()));
  return visit_snapshot_prelude(BorrowedFileSource(file, *length), visit);
}

std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const DirectFile& file) {
  RegionTable table;
  auto head = visit_snapshot_prelude(
      file, TableEntryVisitor{[&](std::uint64_t n) { table.reserve(table_reserve_hint(n)); },
                              [&](const RegionEntry& entry) {
                                table.push(entry);
                                return true;
                              }});
  if (!head) return std::unexpected(head.error());
  return FilePrelude{Snapshot::from_header_and_table(std::move(head->header), std::move(table)), head->file_size};
}

std::expected<FilePrelude, SnapshotError> read_snapshot_prelude(const std::string& path) {
  auto file = open_readable_file(path);
  if (!file) return std::unexpected(SnapshotError::from_io(file.error()));
  return read_snapshot_prelude(*file);
}

}  // namespace vesk
