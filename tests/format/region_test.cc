#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/region.h"

namespace vesk {
namespace {

RegionEntry sample_entry() {
  return RegionEntry{RegionKind::KvLiveBlock, 0xa1b2c3d4u, 0x1122334455667788ull, 0x0000000100002000ull, 0xdeadbeefu};
}

TEST(RegionEntry, EncodesLittleEndianWithZeroReserved) {
  std::vector<std::uint8_t> b = sample_entry().to_bytes();
  EXPECT_EQ(b, (std::vector<std::uint8_t>{1,    0,    0,    0,    0xd4, 0xc3, 0xb2, 0xa1, 0x88, 0x77, 0x66,
                                          0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x20, 0x00, 0x00, 0x01, 0x00,
                                          0x00, 0x00, 0xef, 0xbe, 0xad, 0xde, 0,    0,    0,    0}));
}

TEST(RegionEntry, RoundTripsEveryKindAndIgnoresReservedBytes) {
  for (RegionKind kind : {RegionKind::Weights, RegionKind::KvLiveBlock, RegionKind::Metadata}) {
    RegionEntry e = sample_entry();
    e.kind = kind;
    std::vector<std::uint8_t> b = e.to_bytes();
    b[28] = b[29] = b[30] = b[31] = 0x5a;
    b.push_back(9);  // longer slices decode their first 32 bytes
    auto back = RegionEntry::from_bytes(b);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, e);
    EXPECT_EQ(back->to_bytes()[28], 0);
  }
  EXPECT_EQ(region_kind_name(RegionKind::Weights), "Weights");
  EXPECT_EQ(region_kind_name(RegionKind::KvLiveBlock), "KvLiveBlock");
  EXPECT_EQ(region_kind_name(RegionKind::Metadata), "Metadata");
}

TEST(RegionEntry, RejectsShortSlicesAndUnknownKinds) {
  std::vector<std::uint8_t> b = sample_entry().to_bytes();
  auto short_slice = RegionEntry::from_bytes(std::span(b).first(31));
  ASSERT_FALSE(short_slice);
  EXPECT_EQ(short_slice.error().message(), "region entry slice is too short: got 31 bytes, need 32");

  for (std::uint32_t kind : {3u, 0xffffffffu}) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(kind >> (8 * i));
    auto bad = RegionEntry::from_bytes(b);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "unknown region kind discriminant: " + std::to_string(kind));
  }
}

TEST(RegionTable, EncodesInOrderAndRoundTrips) {
  RegionTable t;
  EXPECT_TRUE(t.to_bytes().empty());
  EXPECT_FALSE(t.get(0));
  for (std::uint32_t i = 0; i < 3; ++i) t.push(RegionEntry{RegionKind::Metadata, i, i * 10ull, 4096 + i, i});
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t.get(2)->logical_id, 2u);
  EXPECT_FALSE(t.get(3));

  std::vector<std::uint8_t> b = t.to_bytes();
  ASSERT_EQ(b.size(), 96u);
  EXPECT_EQ(b[32 + 4], 1);  // second entry's logical id
  auto back = RegionTable::from_bytes(b, 3);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, t);

  auto empty = RegionTable::from_bytes({}, 0);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(RegionTable, FailsWholeOnTheFirstBadEntry) {
  RegionTable t;
  t.push(sample_entry());
  t.push(sample_entry());
  std::vector<std::uint8_t> b = t.to_bytes();
  b[32] = 7;
  auto bad = RegionTable::from_bytes(b, 2);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "unknown region kind discriminant: 7");
}

TEST(RegionTable, ShortInputIsTooShortEvenForHugeCounts) {
  std::vector<std::uint8_t> b = sample_entry().to_bytes();
  auto two = RegionTable::from_bytes(b, 2);
  ASSERT_FALSE(two);
  EXPECT_EQ(two.error().message(), "region entry slice is too short: got 32 bytes, need 64");

  // A forged count must fail cleanly rather than reserve room for it.
  auto huge = RegionTable::from_bytes(b, std::uint64_t{1} << 62);
  ASSERT_FALSE(huge);
  EXPECT_TRUE(std::holds_alternative<RegionError::TooShort>(huge.error().v));
}

}  // namespace
}  // namespace vesk
