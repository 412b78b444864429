// One block of a compressed payload: encoded on its own and decodable on
// its own, so that blocks spread over threads in either direction. A block
// is split into byte planes by its elements' width and the planes are
// coded as one zstd frame; a block that would not shrink by at least 2 %
// is stored as it is (raw), so incompressible data grows only by its index.
// Each stored block carries a CRC-32C of its stored bytes, checked before
// the decoder sees them: damaged input never reaches the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/codec_error.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace vesk {

// The coder of a block's planes; the value is stored in the index.
enum class BlockCoder : std::uint8_t { Zstd = 1 };

// Measured defaults (bench/bench_codec, Gaussian bfloat16 weights): level 1
// stores 0.684 of the bytes and levels 2 to 4 0.70 to 0.71, encoding slower;
// negative levels skip the entropy stage (0.83 and worse). Blocks of 1, 2
// and 4 MiB store the same share and decode as fast; 1 MiB gives a pool of
// workers the finest grain.
inline constexpr int kDefaultCodecLevel = 1;
inline constexpr std::size_t kDefaultBlockBytes = std::size_t{1} << 20;
// No block is longer, whatever an index says: the decoder's scratch is
// sized by the block, so this bounds what a hostile index can make it take.
inline constexpr std::size_t kMaxBlockBytes = std::size_t{64} << 20;
// A coded block is kept only when it is at most this share of the original
// (a shrink of at least 2 %), in parts per 1000.
inline constexpr std::size_t kKeepCodedPerMille = 980;

// Where a block lies in the original bytes and in the stored ones, and how
// it was stored. Offsets count from the start of the region's original
// bytes and of its stored payload (index included).
struct BlockEntry {
  std::uint64_t original_offset = 0;
  std::uint64_t stored_offset = 0;
  std::uint32_t original_size = 0;
  std::uint32_t stored_size = 0;
  std::uint32_t crc32c = 0;  // of the stored bytes
  BlockCoder coder = BlockCoder::Zstd;
  std::uint8_t plane_width = 1;
  bool raw = false;
};

struct ZstdContextDeleter {
  void operator()(ZSTD_CCtx_s* c) const;
  void operator()(ZSTD_DCtx_s* d) const;
};

// Encodes blocks one after another, reusing its coder context and scratch:
// one per thread.
class BlockEncoder {
 public:
  static CodecResult<BlockEncoder> create(int level);

  // Appends the stored form of `original` to `stored` and returns its entry,
  // offsets left at zero for the caller to place. `original` is at most
  // kMaxBlockBytes and not empty; plane_width is 1, 2, 4 or 8.
  CodecResult<BlockEntry> encode(std::span<const std::byte> original, std::size_t plane_width,
                                 std::vector<std::byte>& stored);

 private:
  explicit BlockEncoder(std::unique_ptr<ZSTD_CCtx_s, ZstdContextDeleter> ctx) : ctx_(std::move(ctx)) {}
  std::unique_ptr<ZSTD_CCtx_s, ZstdContextDeleter> ctx_;
  std::vector<std::byte> planes_;
  std::vector<std::byte> coded_;
};

// Decodes blocks one after another, reusing its coder context and scratch:
// one per thread.
class BlockDecoder {
 public:
  static CodecResult<BlockDecoder> create();

  // Checks `stored` against the entry's CRC, then decodes it into `out`,
  // which must be exactly entry.original_size long. The entry has passed
  // the index checks (decode_block_index); `block` names it in errors.
  CodecResult<void> decode(const BlockEntry& entry, std::uint64_t block, std::span<const std::byte> stored,
                           std::span<std::byte> out);

 private:
  explicit BlockDecoder(std::unique_ptr<ZSTD_DCtx_s, ZstdContextDeleter> ctx) : ctx_(std::move(ctx)) {}
  std::unique_ptr<ZSTD_DCtx_s, ZstdContextDeleter> ctx_;
  std::vector<std::byte> planes_;
};

}  // namespace vesk
