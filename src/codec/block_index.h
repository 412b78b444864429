// The block index at the head of a compressed region payload: a 32-byte
// header and one 32-byte entry per block, then the stored blocks back to
// back. The index is read before any block: every length, offset and coder
// field is checked against the payload's stored size and against the
// fields before it, so a lying index can neither point outside the payload
// nor make the decoder allocate more than one block's worth.
//
// Header: magic "VBIX", u32 block count, u64 original size, u64 payload
// size (index included), u32 CRC-32C of the header's first 24 bytes and
// of the entries, u32 reserved. Entry: u64 original offset, u64 stored
// offset, u32 original size, u32 stored size, u32 CRC-32C of the stored
// block, u8 coder, u8 plane width, u8 flags (bit 0: raw), u8 reserved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/block_codec.h"
#include "codec/codec_error.h"

namespace vesk {

inline constexpr std::size_t kBlockIndexHeaderBytes = 32;
inline constexpr std::size_t kBlockIndexEntryBytes = 32;

struct BlockIndex {
  std::uint64_t original_size = 0;
  std::uint64_t payload_size = 0;  // the index and every stored block
  std::vector<BlockEntry> blocks;

  std::uint64_t index_bytes() const { return kBlockIndexHeaderBytes + kBlockIndexEntryBytes * blocks.size(); }
};

std::vector<std::byte> encode_block_index(const BlockIndex& index);

// The length of the whole index from its header alone, checked against the
// payload's size: a reader fetches the header, then the rest.
CodecResult<std::uint64_t> block_index_bytes(std::span<const std::byte> header, std::uint64_t payload_size);

// Decodes and checks the index at the head of `bytes` (the index at least,
// or the whole payload) for a payload of `payload_size` stored bytes.
CodecResult<BlockIndex> decode_block_index(std::span<const std::byte> bytes, std::uint64_t payload_size);

}  // namespace vesk
