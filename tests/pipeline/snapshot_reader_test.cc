// The reader over every source: a file and a buffer give the same layout,
// manifest and regions; a source that loses bytes while it is checked is an
// error, never a crash.
#include "pipeline/snapshot_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipeline_test_util.h"
#include "snapshot_bytes.h"

namespace vesk {
namespace {

std::vector<std::uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

test::SnapshotBytes named_snapshot() {
  const std::string manifest =
      R"({"format":"vesk-manifest","version":1,"regions":[{"name":"w","kind":"weights","logical_id":0,)"
      R"("dtype":"float32","shape":[4,2],"nbytes":32}]})";
  return test::snapshot_bytes({{RegionKind::Weights, 0, test::pattern_bytes(32, 1)},
                               {RegionKind::Metadata, MANIFEST_KEY.logical_id, text_bytes(manifest)}});
}

// Reads as a buffer would, but holds `shrink_to` bytes after the first read.
class ShrinkingSource final : public ByteSource {
 public:
  ShrinkingSource(std::vector<std::uint8_t> bytes, std::uint64_t shrink_to)
      : bytes_(std::move(bytes)), shrink_to_(shrink_to) {}
  std::uint64_t length() const override { return bytes_.size(); }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override {
    const std::uint64_t held = reads_++ == 0 ? bytes_.size() : shrink_to_;
    if (offset + buf.size() > held) return std::unexpected(IoError::custom(IoErrorKind::UnexpectedEof, "cut short"));
    if (!buf.empty()) std::memcpy(buf.data(), bytes_.data() + offset, buf.size());
    return {};
  }
  std::string label() const override { return "shrinking"; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t shrink_to_;
  mutable int reads_ = 0;
};

TEST(SnapshotReader, FileAndBufferReadAlike) {
  const auto snap = named_snapshot();
  test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  test::write_file(dir.file("s.vesk"), snap.bytes);
  auto file = open_file_source(dir.file("s.vesk"));
  ASSERT_TRUE(file);
  MemoryByteSource memory(std::as_bytes(std::span(snap.bytes)), "mem");
  for (const ByteSource* source : {static_cast<const ByteSource*>(file->get()), static_cast<const ByteSource*>(&memory)}) {
    auto layout = read_snapshot_layout(*source);
    ASSERT_TRUE(layout) << layout.error().message();
    EXPECT_EQ(layout->table.entries(), snap.entries);
    auto manifest = read_snapshot_manifest(*source, layout->table);
    ASSERT_TRUE(manifest && *manifest);
    EXPECT_EQ((*manifest)->manifest.entries.at(0).shape, (std::vector<std::uint64_t>{4, 2}));
    auto region = read_region(*source, snap.entries[0]);
    ASSERT_TRUE(region);
    EXPECT_EQ(*region, test::pattern_bytes(32, 1));
    auto report = verify_regions(*source, layout->table, [](std::uint64_t) { return true; });
    ASSERT_TRUE(report && *report);
    EXPECT_EQ((*report)->regions_checked, 2u);
    EXPECT_TRUE((*report)->mismatches.empty());
  }
}

TEST(SnapshotReader, DamageIsReportedNotFollowed) {
  auto snap = named_snapshot();
  snap.bytes[snap.entries[0].file_offset] ^= 1;
  MemoryByteSource memory(std::as_bytes(std::span(snap.bytes)), "mem");
  auto layout = read_snapshot_layout(memory);
  ASSERT_TRUE(layout);
  auto report = verify_regions(memory, layout->table, [](std::uint64_t) { return true; });
  ASSERT_TRUE(report && *report);
  ASSERT_EQ((*report)->mismatches.size(), 1u);
  EXPECT_EQ((*report)->mismatches[0].index, 0u);
  auto region = read_region(memory, snap.entries[0]);
  ASSERT_FALSE(region);
  EXPECT_TRUE(region.error().message().starts_with("region checksum mismatch: kind=Weights, logical_id=0"));

  // The layout read whole, then the source loses its payload: an I/O error.
  const auto intact = named_snapshot().bytes;
  auto table = read_snapshot_layout(MemoryByteSource(std::as_bytes(std::span(intact)), "m"));
  ASSERT_TRUE(table);
  ShrinkingSource shrinking(intact, 4096);
  ASSERT_TRUE(shrinking.read_exact(std::span<std::byte>(), 0));  // spends the one whole read
  auto failed = verify_regions(shrinking, table->table, [](std::uint64_t) { return true; });
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message().find("UnexpectedEof: cut short"), std::string::npos);
}

}  // namespace
}  // namespace vesk
