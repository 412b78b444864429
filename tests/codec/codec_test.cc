// The block codec: round trips over every plane width and kind of input,
// then stored payloads damaged or lying in each field the decoder relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/block_index.h"
#include "codec/byte_planes.h"
#include "codec/crc32c.h"
#include "codec/payload_codec.h"
#include "codec/reseal_payload.h"
#include "format/le_bytes.h"

namespace vesk {
namespace {

using Bytes = std::vector<std::byte>;

// Little-endian 16-bit values of a narrow bell curve: compressible planes.
Bytes weights(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 0.02f);
  Bytes out(n);
  for (std::size_t i = 0; i < n; i += 2) {
    std::uint32_t bits;
    const float f = dist(rng);
    std::memcpy(&bits, &f, 4);
    out[i] = static_cast<std::byte>(bits >> 16);
    if (i + 1 < n) out[i + 1] = static_cast<std::byte>(bits >> 24);
  }
  return out;
}

Bytes noise(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::byte>(rng());
  return out;
}

Bytes encode(const Bytes& original, std::size_t width, std::size_t block) {
  auto encoder = BlockEncoder::create(kDefaultCodecLevel);
  EXPECT_TRUE(encoder);
  auto payload = encode_payload(original, width, block, *encoder);
  EXPECT_TRUE(payload) << payload.error().message();
  return *payload;
}

CodecResult<Bytes> decode(const Bytes& payload, std::size_t original_size) {
  auto decoder = BlockDecoder::create();
  EXPECT_TRUE(decoder);
  Bytes out(original_size);
  if (auto r = decode_payload(payload, out, *decoder); !r) return std::unexpected(r.error());
  return out;
}

TEST(BytePlanes, SplitGroupsEachByteOfAnElementAndJoinUndoesIt) {
  const Bytes in = noise(8 * 5 + 3, 1);  // a tail shorter than any width
  Bytes planes(in.size()), back(in.size());
  split_byte_planes(in, 4, planes);
  EXPECT_EQ(planes[0], in[0]);
  EXPECT_EQ(planes[1], in[4]);
  EXPECT_EQ(planes[10], in[1]);      // the second plane starts after 10 elements
  EXPECT_EQ(planes.back(), in.back());  // the tail stays at the end
  for (std::size_t width : {1, 2, 4, 8}) {
    split_byte_planes(in, width, planes);
    join_byte_planes(planes, width, back);
    EXPECT_EQ(back, in) << width;
  }
}

struct RoundTrip {
  const char* name;
  Bytes original;
  std::size_t block;
  bool expect_raw;  // every block stored as it is
};

TEST(PayloadCodec, RoundTripsEveryWidthAndInput) {
  const std::vector<RoundTrip> cases = {
      {"weights", weights(100'000, 2), 16'384, false},
      {"weights with an odd tail", weights(70'001, 3), 4'096, false},
      {"zeros", Bytes(50'000), 8'192, false},
      {"random", noise(40'000, 4), 8'192, true},
      {"one byte", noise(1, 5), 4'096, true},
      {"empty", {}, 4'096, false},
      {"block size not a multiple of 8", weights(30'000, 6), 1'001, false},
  };
  for (const RoundTrip& c : cases) {
    for (std::size_t width : {1, 2, 4, 8}) {
      SCOPED_TRACE(std::string(c.name) + ", width " + std::to_string(width));
      const Bytes payload = encode(c.original, width, c.block);
      auto index = decode_block_index(payload, payload.size());
      ASSERT_TRUE(index) << index.error().message();
      for (const BlockEntry& b : index->blocks) {
        // No element straddles two blocks; incompressible blocks stay as they are.
        EXPECT_TRUE(b.original_size % 8 == 0 || b.original_offset + b.original_size == c.original.size());
        EXPECT_TRUE(b.raw || !c.expect_raw);
      }
      if (c.expect_raw) {
        EXPECT_EQ(payload.size(), c.original.size() + index->index_bytes());
      } else if (c.original.size() >= 30'000) {
        EXPECT_LT(payload.size(), c.original.size() * 9 / 10);
      }
      auto back = decode(payload, c.original.size());
      ASSERT_TRUE(back) << back.error().message();
      EXPECT_EQ(*back, c.original);
    }
  }
}

template <typename T>
void put(Bytes& payload, std::size_t at, T value) {
  le::store<T>({reinterpret_cast<std::uint8_t*>(payload.data()), payload.size()}, at, value);
}

template <typename T>
T get(const Bytes& payload, std::size_t at) {
  return le::load<T>({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}, at);
}

constexpr std::size_t kEntry0 = 32, kEntry1 = 64;

struct Damage {
  const char* name;
  std::function<void(Bytes&)> apply;
  const char* message;  // a part of the expected error's message
};

// A payload of three blocks: two coded (weights), one raw (noise).
Bytes three_blocks() {
  Bytes original = weights(2 * 8'192, 7);
  const Bytes tail = noise(5'000, 8);
  original.insert(original.end(), tail.begin(), tail.end());
  return encode(original, 2, 8'192);
}

TEST(PayloadCodec, RefusesDamagedOrLyingPayloads) {
  const Bytes good = three_blocks();
  const std::size_t original_size = 2 * 8'192 + 5'000;
  const std::size_t block0 = get<std::uint64_t>(good, kEntry0 + 8);
  const std::size_t raw_block = get<std::uint64_t>(good, kEntry0 + 64 + 8);
  auto field = [](std::size_t at, std::uint64_t value, int width) {
    return [=](Bytes& p) {
      if (width == 8) put<std::uint64_t>(p, at, value);
      else if (width == 4) put<std::uint32_t>(p, at, static_cast<std::uint32_t>(value));
      else p[at] = static_cast<std::byte>(value);
      test::reseal_payload(p);
    };
  };
  const std::vector<Damage> cases = {
      {"a stored byte flipped", [&](Bytes& p) { p[block0 + 5] ^= std::byte{1}; }, "block 0 checksum mismatch"},
      {"a raw byte flipped", [&](Bytes& p) { p[raw_block] ^= std::byte{0x80}; }, "block 2 checksum mismatch"},
      {"an index byte flipped", [](Bytes& p) { p[kEntry1 + 16] ^= std::byte{1}; }, "block index checksum mismatch"},
      {"a damaged frame with its CRC updated",
       [&](Bytes& p) {
         for (std::size_t i = 4; i < get<std::uint32_t>(p, kEntry0 + 20); i += 3) p[block0 + i] ^= std::byte{0x5a};
         test::reseal_payload(p);
       },
       "block 0 failed to decode: "},
      {"bad magic", [](Bytes& p) { p[0] = std::byte{'X'}; }, "bad magic"},
      {"truncated header", [](Bytes& p) { p.resize(20); }, "the header needs 32 bytes, 20 are stored"},
      {"payload size lies", field(16, 1'000'000, 8), "records a payload of 1000000 bytes"},
      {"block count past the payload", field(4, 0x10000000, 4), "an index of"},
      {"block count short", field(4, 2, 4), "block 0: offsets 0/128 (expected 0/96)"},
      {"original size lies", field(8, original_size + 1, 8), "the blocks hold 21384 of 21385"},
      {"unknown coder", field(kEntry0 + 28, 9, 1), "block 0: unknown coder 9"},
      {"plane width 3", field(kEntry1 + 29, 3, 1), "block 1: plane width 3"},
      {"unknown flag", field(kEntry0 + 30, 2, 1), "block 0: unknown flags 2"},
      {"raw flag on a coded block", field(kEntry0 + 30, 1, 1), "block 0: stored size"},
      {"raw flag off a raw block", field(kEntry0 + 64 + 30, 0, 1), "block 2: stored size"},
      {"original offset moved", field(kEntry1, 8'000, 8), "block 1: offsets 8000/"},
      {"stored offset moved", field(kEntry1 + 8, 40, 8), "block 1: offsets 8192/40"},
      {"empty block", field(kEntry0 + 16, 0, 4), "block 0: original size 0"},
      {"block over the limit", field(kEntry0 + 16, kMaxBlockBytes + 1, 4), "block 0: original size"},
      {"block past the original", field(kEntry0 + 64 + 16, 6'000, 4), "block 2: "},
      {"stored size past the payload", field(kEntry0 + 64 + 20, 0xFFFFFFF0u, 4), "block 2: stored size"},
      {"coded block as large as its original", field(kEntry0 + 20, 8'192, 4), "block 0: stored size 8192"},
      {"trailing bytes after the payload", [](Bytes& p) { p.push_back(std::byte{0}); }, "records a payload of"},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes payload = good;
    c.apply(payload);
    auto back = decode(payload, original_size);
    ASSERT_FALSE(back);
    EXPECT_NE(back.error().message().find(c.message), std::string::npos) << back.error().message();
  }
  auto wrong_size = decode(good, original_size - 1);
  ASSERT_FALSE(wrong_size);
  EXPECT_EQ(wrong_size.error().message(),
            "malformed block index: records 21384 original bytes, the region holds 21383");
}

// The frame checks behind a correct CRC: the index says one size, the
// frame another, or the frame is followed by more bytes.
TEST(BlockDecoder, RefusesFramesThatDisagreeWithTheirEntry) {
  auto encoder = BlockEncoder::create(kDefaultCodecLevel);
  auto decoder = BlockDecoder::create();
  ASSERT_TRUE(encoder && decoder);
  const Bytes original(4'096, std::byte{3});
  Bytes stored;
  auto entry = encoder->encode(original, 1, stored);
  ASSERT_TRUE(entry && !entry->raw);

  BlockEntry shorter = *entry;
  shorter.original_size = 4'000;
  Bytes out(4'000);
  auto r = decoder->decode(shorter, 7, stored, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "block 7 decodes to 4096 bytes, expected 4000");

  Bytes trailing = stored;
  trailing.push_back(std::byte{0});
  BlockEntry longer = *entry;
  longer.stored_size = static_cast<std::uint32_t>(trailing.size());
  longer.crc32c = crc32c(trailing);
  out.resize(4'096);
  r = decoder->decode(longer, 1, trailing, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "block 1 failed to decode: bytes after the frame");
}

}  // namespace
}  // namespace vesk
