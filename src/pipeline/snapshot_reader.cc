#include "pipeline/snapshot_reader.h"

#include <algorithm>
#include <numeric>

#include "pipeline/crc32c.h"
#include "pipeline/error_wrap.h"
#include "pipeline/prelude_reader.h"

namespace vesk {

namespace {

// Regions are checked through a window of this many bytes, so that a
// million small regions cost a few hundred reads, not a million.
constexpr std::uint64_t kVerifyWindow = std::uint64_t{64} << 20;

std::unexpected<ReadError> restore_error(RestoreError e) { return std::unexpected(ReadError{ReadError::Restore{std::move(e)}}); }

std::unexpected<ReadError> io_failure(const IoError& e) { return restore_error(io_err<RestoreError>(e)); }

std::unexpected<ReadError> checksum_failure(const RegionEntry& entry, std::uint32_t actual) {
  return restore_error(RestoreError{RestoreError::ChecksumMismatch{entry.kind, entry.logical_id, entry.crc32c, actual}});
}

std::uint32_t crc_of(std::span<const std::uint8_t> bytes) { return crc32c_append_parallel(0, std::as_bytes(bytes)); }

std::optional<std::uint64_t> payload_end_beyond(const RegionTable& table, std::uint64_t length) {
  for (const RegionEntry& r : table) {
    if (r.file_offset > length || r.size > length - r.file_offset) {
      // Saturated: an end past 2^64 is no smaller an overrun.
      return r.file_offset > UINT64_MAX - r.size ? UINT64_MAX : r.file_offset + r.size;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ReadError::message() const {
  if (const auto* e = std::get_if<Restore>(&v)) return e->inner.message();
  const auto& m = std::get<Manifest>(v);
  return m.source + ": " + m.inner.message();
}

std::expected<SnapshotLayout, ReadError> read_snapshot_layout(const ByteSource& source) {
  RegionTable table;
  auto head = visit_snapshot_prelude(
      source, TableEntryVisitor{[&](std::uint64_t n) { table.reserve(table_reserve_hint(n)); },
                                [&](const RegionEntry& entry) {
                                  table.push(entry);
                                  return true;
                                }});
  if (!head) return restore_error(snapshot_err<RestoreError>(head.error()));
  return SnapshotLayout{std::move(head->header), std::move(table), head->file_size};
}

const RegionEntry* find_region(const RegionTable& table, RegionKey key) {
  const auto& entries = table.entries();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->kind == key.kind && it->logical_id == key.logical_id) return &*it;
  }
  return nullptr;
}

std::expected<std::vector<std::uint8_t>, ReadError> read_region(const ByteSource& source, const RegionEntry& entry) {
  const std::uint64_t length = source.length();
  if (entry.file_offset > length || entry.size > length - entry.file_offset) {
    return restore_error(RestoreError{RestoreError::PayloadOutOfBounds{
        static_cast<std::size_t>(length), static_cast<std::size_t>(entry.file_offset + entry.size)}});
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(entry.size));
  if (auto r = source.read_exact(std::as_writable_bytes(std::span(bytes)), entry.file_offset); !r)
    return io_failure(r.error());
  if (entry.crc32c != 0) {
    if (const std::uint32_t actual = crc_of(bytes); actual != entry.crc32c) return checksum_failure(entry, actual);
  }
  return bytes;
}

std::expected<std::optional<ManifestRegion>, ReadError> read_snapshot_manifest(const ByteSource& source,
                                                                         const RegionTable& table) {
  const RegionEntry* entry = find_region(table, MANIFEST_KEY);
  if (entry == nullptr) return std::optional<ManifestRegion>{};
  auto manifest_failure = [&](ManifestError e) {
    return std::unexpected(ReadError{ReadError::Manifest{source.label(), std::move(e)}});
  };
  const std::uint64_t limit = manifest_size_limit(table.size());
  if (entry->size > limit) return manifest_failure(ManifestError{ManifestError::TooLarge{entry->size, limit}});
  auto raw = read_region(source, *entry);
  if (!raw) return std::unexpected(raw.error());
  auto manifest = decode_manifest(*raw);
  if (!manifest) return manifest_failure(manifest.error());
  if (auto checked = check_manifest_against_table(*manifest, table); !checked) return manifest_failure(checked.error());
  return std::optional<ManifestRegion>(ManifestRegion{*std::move(manifest), *std::move(raw)});
}

std::expected<std::optional<VerifyReport>, ReadError> verify_regions(
    const ByteSource& source, const RegionTable& table, const std::function<bool(std::uint64_t)>& progress) {
  const std::uint64_t length = source.length();
  if (auto end = payload_end_beyond(table, length)) {
    return restore_error(RestoreError{RestoreError::PayloadOutOfBounds{static_cast<std::size_t>(length),
                                                                       static_cast<std::size_t>(*end)}});
  }
  const auto& entries = table.entries();
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].crc32c != 0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return entries[a].file_offset < entries[b].file_offset; });

  VerifyReport report;
  std::vector<std::uint8_t> window;
  std::uint64_t window_at = 0;
  for (std::size_t index : order) {
    const RegionEntry& r = entries[index];
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < r.size;) {
      const std::uint64_t at = r.file_offset + done;
      const std::uint64_t want = std::min(r.size - done, kVerifyWindow);
      if (at < window_at || at + want > window_at + window.size()) {
        // Refill from here, as far as the window and the source allow.
        window.resize(static_cast<std::size_t>(std::min(kVerifyWindow, length - at)));
        window_at = at;
        if (auto read = source.read_exact(std::as_writable_bytes(std::span(window)), at); !read)
          return io_failure(read.error());
        if (!progress(window.size())) return std::optional<VerifyReport>{};
      }
      const std::span<const std::uint8_t> piece(window.data() + (at - window_at), static_cast<std::size_t>(want));
      crc = crc32c_append_parallel(crc, std::as_bytes(piece));
      done += want;
    }
    if (crc != r.crc32c) report.mismatches.push_back(VerifyMismatch{index, r.crc32c, crc});
    ++report.regions_checked;
    report.bytes_checked += r.size;
  }
  return std::optional<VerifyReport>(std::move(report));
}

}  // namespace vesk
