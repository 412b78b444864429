#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/header.h"

namespace vesk {
namespace {

SnapshotHeader sample_header() {
  SnapshotHeader h;
  h.num_regions = 0x0102030405060708ull;
  h.region_table_offset = 4096;
  for (std::size_t i = 0; i < h.vllm_commit.size(); ++i) h.vllm_commit[i] = static_cast<std::uint8_t>('a' + i % 26);
  return h;
}

std::string decode_error(const std::vector<std::uint8_t>& bytes) {
  auto h = SnapshotHeader::from_bytes(bytes);
  return h ? "ok" : h.error().message();
}

TEST(Header, EncodesFieldsLittleEndianAndZeroesTheRest) {
  SnapshotHeader h = sample_header();
  std::vector<std::uint8_t> b = h.to_bytes();
  ASSERT_EQ(b.size(), 4096u);
  EXPECT_EQ((std::vector<std::uint8_t>(b.begin(), b.begin() + 8)),
            (std::vector<std::uint8_t>{'V', 'E', 'S', 'K', 2, 0, 0, 0}));
  EXPECT_EQ((std::vector<std::uint8_t>(b.begin() + 8, b.begin() + 24)),
            (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1, 0, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(std::equal(h.vllm_commit.begin(), h.vllm_commit.end(), b.begin() + 24));
  for (std::size_t i = 64; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;

  std::vector<std::uint8_t> plain = SnapshotHeader{}.to_bytes();
  for (std::size_t i = 24; i < plain.size(); ++i) ASSERT_EQ(plain[i], 0) << i;
}

TEST(Header, RoundTripsAndIgnoresTrailingAndReservedBytes) {
  SnapshotHeader h = sample_header();
  std::vector<std::uint8_t> b = h.to_bytes();
  b[100] = 0xff;  // reserved area is not looked at
  b.resize(5000, 0xee);
  auto back = SnapshotHeader::from_bytes(b);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, h);
}

TEST(Header, ReportsTheFirstFailingCheck) {
  std::vector<std::uint8_t> valid = SnapshotHeader{}.to_bytes();

  std::vector<std::uint8_t> short_block(valid.begin(), valid.begin() + 4095);
  EXPECT_EQ(decode_error(short_block), "header is too short: got 4095 bytes, need at least 4096");
  EXPECT_EQ(decode_error({}), "header is too short: got 0 bytes, need at least 4096");

  // Zeros: the magic is checked before the version.
  EXPECT_EQ(decode_error(std::vector<std::uint8_t>(4096, 0)),
            "bad magic bytes: expected b\"VESK\", found [0, 0, 0, 0]");
  std::vector<std::uint8_t> lower = valid;
  lower[0] = 'v';
  lower[3] = 255;
  EXPECT_EQ(decode_error(lower), "bad magic bytes: expected b\"VESK\", found [118, 69, 83, 255]");

  for (std::uint32_t version : {1u, 3u, 0x01000002u}) {
    std::vector<std::uint8_t> b = valid;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(version >> (8 * i));
    EXPECT_EQ(decode_error(b), "unsupported snapshot version: found " + std::to_string(version) +
                                   ", this binary supports 2");
  }
}

}  // namespace
}  // namespace vesk
