// Feeds the prelude decoder damaged and random input. Each input lives in
// its own heap block of exactly its length, so AddressSanitizer flags any
// read past the end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "format/snapshot.h"
#include "format/writer.h"

namespace vesk {
namespace {

// Decodes one input and checks that a success is self-consistent; returns
// whether it decoded.
bool decode_exact_copy(std::span<const std::uint8_t> input) {
  auto block = std::make_unique<std::uint8_t[]>(input.size());
  if (!input.empty()) std::memcpy(block.get(), input.data(), input.size());
  auto s = Snapshot::from_prelude_bytes(std::span<const std::uint8_t>(block.get(), input.size()));
  if (s) {
    EXPECT_EQ(s->table.size(), s->header.num_regions);
    EXPECT_LE(s->prelude_size(), input.size());
    EXPECT_TRUE(std::equal(block.get(), block.get() + 64, s->header.to_bytes().begin()));
    return true;
  }
  EXPECT_FALSE(s.error().message().empty());
  return false;
}

std::vector<std::uint8_t> valid_prelude(std::mt19937_64& rng, std::size_t regions) {
  ByteRegionWriter w;
  for (std::size_t i = 0; i < regions; ++i) {
    w.push_region_metadata_with_crc(static_cast<RegionKind>(rng() % 3), static_cast<std::uint32_t>(rng()),
                                    rng() % 100000, static_cast<std::uint32_t>(rng()));
  }
  return w.build_snapshot().to_prelude_bytes();
}

// Values that sit on the decoder's boundaries, written into header fields.
constexpr std::uint64_t INTERESTING[] = {0,
                                         1,
                                         2,
                                         3,
                                         4095,
                                         4096,
                                         4097,
                                         4128,
                                         std::uint64_t{1} << 59,
                                         (std::uint64_t{1} << 59) - 1,
                                         std::uint64_t{1} << 63,
                                         ~std::uint64_t{0},
                                         ~std::uint64_t{0} - 31};

TEST(PreludeRobustness, MutatedTruncatedAndRandomInputsNeverCrash) {
  std::mt19937_64 rng(0x5eed);
  std::size_t successes = 0;
  std::size_t failures = 0;

  for (int round = 0; round < 30000; ++round) {
    std::vector<std::uint8_t> b = valid_prelude(rng, rng() % 6);
    switch (round % 5) {
      case 0: {  // flip a few random bytes, biased towards the fields
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
          std::size_t at = rng() % 2 == 0 ? rng() % 64 : rng() % b.size();
          b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        }
        break;
      }
      case 1:  // cut anywhere
        b.resize(rng() % (b.size() + 1));
        break;
      case 2: {  // boundary values in num_regions or region_table_offset
        std::uint64_t v = INTERESTING[rng() % std::size(INTERESTING)];
        std::size_t field = rng() % 2 == 0 ? 8 : 16;
        for (int i = 0; i < 8; ++i) b[field + i] = static_cast<std::uint8_t>(v >> (8 * i));
        if (rng() % 2 == 0) b.resize(rng() % (b.size() + 1));
        break;
      }
      case 3: {  // region kinds out of range, trailing payload
        if (b.size() > 4096) b[4096 + 32 * (rng() % ((b.size() - 4096) / 32))] = static_cast<std::uint8_t>(rng());
        b.resize(b.size() + rng() % 64, 0xcc);
        break;
      }
      default: {  // random bytes, sometimes under a valid magic and version
        b.assign(rng() % 4300, 0);
        for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
        if (b.size() >= 8 && rng() % 2 == 0) {
          const std::uint8_t head[8] = {'V', 'E', 'S', 'K', 2, 0, 0, 0};
          std::memcpy(b.data(), head, 8);
        }
        break;
      }
    }
    (decode_exact_copy(b) ? successes : failures)++;
    if (HasFailure()) return;
  }
  // The mix must exercise both outcomes, or the mutations are too timid.
  EXPECT_GT(successes, 1000u);
  EXPECT_GT(failures, 1000u);
}

}  // namespace
}  // namespace vesk
