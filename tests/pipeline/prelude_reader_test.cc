// Reading a snapshot's prelude from a file: the same results as decoding the
// file's bytes in memory, without reading or allocating more of the file
// than the table that is really there.
#include "pipeline/prelude_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "format/le_bytes.h"
#include "pipeline_test_util.h"

namespace vesk {
namespace {

using test::TempDir;
using test::write_file;

// A header announcing `n` regions with the table at `table_offset`, then
// `entries` (kind, logical id, size, offset, crc each), then `tail`.
std::vector<std::uint8_t> file_bytes(std::uint64_t n, std::uint64_t table_offset, const std::vector<RegionEntry>& entries,
                                     std::size_t tail = 0, std::uint32_t raw_kind_of_last = UINT32_MAX) {
  SnapshotHeader h;
  h.num_regions = n;
  h.region_table_offset = table_offset;
  std::vector<std::uint8_t> out = h.to_bytes();
  for (const auto& e : entries) {
    auto b = e.to_bytes();
    out.insert(out.end(), b.begin(), b.end());
  }
  if (raw_kind_of_last != UINT32_MAX) le::store<std::uint32_t>(out, out.size() - REGION_ENTRY_SIZE, raw_kind_of_last);
  out.resize(out.size() + tail, 0x5A);
  return out;
}

std::vector<RegionEntry> entries(std::size_t count) {
  std::vector<RegionEntry> out;
  for (std::size_t i = 0; i < count; ++i)
    out.push_back(RegionEntry{static_cast<RegionKind>(i % 3), static_cast<std::uint32_t>(i), i * 7, 4096 + i * 3,
                              static_cast<std::uint32_t>(i * 2654435761u)});
  return out;
}

class PreludeReaderTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  std::expected<FilePrelude, SnapshotError> read(const std::vector<std::uint8_t>& bytes) {
    write_file(path_, bytes);
    return read_snapshot_prelude(path_);
  }
  std::string error_of(const std::vector<std::uint8_t>& bytes) {
    auto r = read(bytes);
    return r ? "no error" : r.error().message();
  }

  TempDir dir_;
  std::string path_ = dir_.file("snap.vesk");
};

// Tables of one entry, of exactly one read piece and of several pieces
// decode as the whole file decodes in memory; a bad entry anywhere is named
// as in memory.
TEST_F(PreludeReaderTest, AgreesWithTheInMemoryDecoder) {
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{32768}, std::size_t{70001}}) {
    const auto bytes = file_bytes(count, HEADER_SIZE, entries(count), 123);
    auto r = read(bytes);
    ASSERT_TRUE(r) << count << ": " << r.error().message();
    EXPECT_EQ(r->snapshot, *Snapshot::from_prelude_bytes(bytes)) << count;
    EXPECT_EQ(r->file_size, bytes.size());
  }
  for (std::size_t bad_at : {std::size_t{0}, std::size_t{32767}, std::size_t{32768}, std::size_t{70000}}) {
    auto list = entries(70001);
    auto bytes = file_bytes(70001, HEADER_SIZE, list);
    le::store<std::uint32_t>(bytes, HEADER_SIZE + bad_at * REGION_ENTRY_SIZE, 3 + static_cast<std::uint32_t>(bad_at));
    EXPECT_EQ(error_of(bytes), Snapshot::from_prelude_bytes(bytes).error().message()) << bad_at;
    EXPECT_EQ(error_of(bytes),
              "region table parse failed: unknown region kind discriminant: " + std::to_string(3 + bad_at));
  }
}

// A table announced elsewhere than right after the header is refused as
// misplaced, never as truncated, as the in-memory decoder refuses it.
TEST_F(PreludeReaderTest, MisplacedTablesAreRefusedAsInMemory) {
  struct Case {
    std::uint64_t table_offset;
    std::string message;
  };
  const Case cases[] = {
      {0, "unsupported snapshot layout: region_table_offset = 0 (expected 4096)"},
      {64, "unsupported snapshot layout: region_table_offset = 64 (expected 4096)"},
      {4128, "unsupported snapshot layout: region_table_offset = 4128 (expected 4096)"},
      {1 << 20, "unsupported snapshot layout: region_table_offset = 1048576 (expected 4096)"},
      {UINT64_MAX - 40, "snapshot prelude offsets overflow usize"},
  };
  for (const auto& c : cases) {
    const auto bytes = file_bytes(2, c.table_offset, entries(2), 5000);
    EXPECT_EQ(error_of(bytes), c.message) << c.table_offset;
    const std::vector<std::uint8_t> prelude(bytes.begin(), bytes.begin() + HEADER_SIZE + 2 * REGION_ENTRY_SIZE);
    EXPECT_EQ(c.message, Snapshot::from_prelude_bytes(prelude).error().message()) << c.table_offset;
  }
}

// Bytes this process has read from files so far, where the kernel says.
std::optional<std::uint64_t> bytes_read_so_far() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return std::nullopt;
}

// A large file whose header announces far more entries than its table holds
// (as a flipped high bit in num_regions would): the entry after the real
// ones does not decode, and the reader stops there instead of reading and
// holding a 512 MiB prelude first.
TEST_F(PreludeReaderTest, CorruptedCountStopsAtTheFirstBadEntry) {
  const std::uint64_t n = std::uint64_t{1} << 24;  // a 512 MiB table
  write_file(path_, file_bytes(n, HEADER_SIZE, entries(3), 0, 7));
  // The rest of the file is a hole: no disk space, reads as zeros.
  ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(HEADER_SIZE + REGION_ENTRY_SIZE * n + 4096)), 0);

  const auto before = bytes_read_so_far();
  auto r = read_snapshot_prelude(path_);
  const auto after = bytes_read_so_far();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "region table parse failed: unknown region kind discriminant: 7");
  if (before && after) {
    EXPECT_LT(*after - *before, std::uint64_t{8} << 20);
  }
}

}  // namespace
}  // namespace vesk
