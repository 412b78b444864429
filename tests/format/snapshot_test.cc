#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/snapshot.h"
#include "format/writer.h"

namespace vesk {
namespace {

std::vector<std::uint8_t> header_bytes(std::uint64_t num_regions, std::uint64_t table_offset) {
  SnapshotHeader h;
  h.num_regions = num_regions;
  h.region_table_offset = table_offset;
  return h.to_bytes();
}

std::string parse_error(const std::vector<std::uint8_t>& bytes) {
  auto s = Snapshot::from_prelude_bytes(bytes);
  return s ? "ok" : s.error().message();
}

TEST(Writer, PacksPayloadAfterTheTableInPushOrder) {
  ByteRegionWriter w;
  w.push_region_metadata(RegionKind::Weights, 1, 100);
  w.push_region_metadata_with_crc(RegionKind::Metadata, 9, 0, 0x1234);
  w.push_region_metadata(RegionKind::KvLiveBlock, 1, 7);
  w.push_region_metadata(RegionKind::Weights, 1, 5);  // duplicates are the caller's business
  Snapshot s = w.build_snapshot();

  EXPECT_EQ(s.header.num_regions, 4u);
  EXPECT_EQ(s.header.region_table_offset, 4096u);
  EXPECT_EQ(s.header.vllm_commit, VllmCommit{});
  ASSERT_EQ(s.table.size(), 4u);
  const auto& e = s.table.entries();
  EXPECT_EQ(e[0], (RegionEntry{RegionKind::Weights, 1, 100, 4224, 0}));
  EXPECT_EQ(e[1], (RegionEntry{RegionKind::Metadata, 9, 0, 4324, 0x1234}));
  EXPECT_EQ(e[2], (RegionEntry{RegionKind::KvLiveBlock, 1, 7, 4324, 0}));
  EXPECT_EQ(e[3].file_offset, 4331u);
  EXPECT_EQ(s.prelude_size(), 4224u);

  // Building reads the writer without consuming it.
  EXPECT_EQ(w.build_snapshot(), s);
}

TEST(Writer, TwoRegionsAndCommit) {
  VllmCommit commit;
  for (std::size_t i = 0; i < commit.size(); ++i) commit[i] = static_cast<std::uint8_t>("0123456789abcdef"[i % 16]);
  ByteRegionWriter w;
  w.set_vllm_commit(VllmCommit{}).set_vllm_commit(commit);
  w.push_region_metadata(RegionKind::Weights, 0, 100);
  w.push_region_metadata(RegionKind::Weights, 1, 7);
  Snapshot s = w.build_snapshot();
  EXPECT_EQ(s.table.get(0)->file_offset, 4160u);
  EXPECT_EQ(s.table.get(1)->file_offset, 4260u);
  std::vector<std::uint8_t> prelude = s.to_prelude_bytes();
  ASSERT_EQ(prelude.size(), 4160u);
  EXPECT_TRUE(std::equal(commit.begin(), commit.end(), prelude.begin() + 24));
}

TEST(Snapshot, PreludeRoundTripsAlsoFromTheWholeFile) {
  ByteRegionWriter w;
  w.push_region_metadata_with_crc(RegionKind::KvLiveBlock, 3, 1 << 20, 0xcafef00d);
  w.push_region_metadata(RegionKind::Metadata, 4, 12);
  Snapshot s = w.build_snapshot();

  std::vector<std::uint8_t> prelude = s.to_prelude_bytes();
  EXPECT_EQ(prelude.size(), s.prelude_size());
  auto back = Snapshot::from_prelude_bytes(prelude);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, s);

  std::vector<std::uint8_t> file = prelude;
  file.resize(prelude.size() + 1000, 0xab);
  auto from_file = Snapshot::from_prelude_bytes(file);
  ASSERT_TRUE(from_file);
  EXPECT_EQ(*from_file, s);

  Snapshot empty = ByteRegionWriter{}.build_snapshot();
  std::vector<std::uint8_t> empty_prelude = empty.to_prelude_bytes();
  EXPECT_EQ(empty_prelude, empty.header.to_bytes());
  auto empty_back = Snapshot::from_prelude_bytes(empty_prelude);
  ASSERT_TRUE(empty_back);
  EXPECT_TRUE(empty_back->table.empty());
}

TEST(Snapshot, WriteToAppendsAndNamesTheIoKind) {
  ByteRegionWriter w;
  w.push_region_metadata(RegionKind::Weights, 0, 1);
  Snapshot s = w.build_snapshot();

  std::vector<std::uint8_t> out = {1, 2, 3};
  EXPECT_EQ(s.write_to(out), s.prelude_size());
  ASSERT_EQ(out.size(), 3 + s.prelude_size());
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 3, out.end()), s.to_prelude_bytes());

  SnapshotError short_data{SnapshotError::Io{IoErrorKind::UnexpectedEof, "data too short for header: 12 bytes"}};
  EXPECT_EQ(short_data.message(),
            "i/o error during snapshot prelude: UnexpectedEof: data too short for header: 12 bytes");
}

TEST(Snapshot, PreludeErrorsInCheckOrder) {
  EXPECT_EQ(parse_error(std::vector<std::uint8_t>(100, 0)),
            "header parse failed: header is too short: got 100 bytes, need at least 4096");
  EXPECT_EQ(parse_error(std::vector<std::uint8_t>(4096, 0)),
            "header parse failed: bad magic bytes: expected b\"VESK\", found [0, 0, 0, 0]");

  EXPECT_EQ(parse_error(header_bytes(2, 4096)), "snapshot prelude is truncated: got 4096 bytes, need 4160");

  // 32 × 2^59 and 2^64 − 1 + 32 do not fit in 64 bits; the overflow is
  // reported before any length comparison.
  EXPECT_EQ(parse_error(header_bytes(std::uint64_t{1} << 59, 4096)), "snapshot prelude offsets overflow usize");
  EXPECT_EQ(parse_error(header_bytes(1, ~std::uint64_t{0})), "snapshot prelude offsets overflow usize");
  // The largest table that still fits is merely truncated.
  EXPECT_EQ(parse_error(header_bytes((std::uint64_t{1} << 59) - 129, 4096)),
            "snapshot prelude is truncated: got 4096 bytes, need 18446744073709551584");

  // A table anywhere but right after the header is refused as such, after
  // the overflow check, whether or not the bytes given would reach it.
  for (std::uint64_t t : {0, 64, 4128, 8192}) {
    std::vector<std::uint8_t> moved = header_bytes(2, t);
    const std::string wanted =
        "unsupported snapshot layout: region_table_offset = " + std::to_string(t) + " (expected 4096)";
    EXPECT_EQ(parse_error(moved), wanted);
    moved.resize(t + 4096);
    EXPECT_EQ(parse_error(moved), wanted);
  }

  ByteRegionWriter w;
  w.push_region_metadata(RegionKind::Weights, 0, 1);
  w.push_region_metadata(RegionKind::Weights, 1, 1);
  std::vector<std::uint8_t> prelude = w.build_snapshot().to_prelude_bytes();
  prelude[4096 + 32] = 5;
  EXPECT_EQ(parse_error(prelude), "region table parse failed: unknown region kind discriminant: 5");
}

}  // namespace
}  // namespace vesk
