#include "codec/payload_codec.h"

#include <algorithm>
#include <string>

#include "codec/block_index.h"

namespace vesk {

CodecResult<std::vector<std::byte>> encode_payload(std::span<const std::byte> original, std::size_t plane_width,
                                                   std::size_t block_bytes, BlockEncoder& encoder) {
  block_bytes = std::clamp<std::size_t>(block_bytes & ~std::size_t{7}, 8, kMaxBlockBytes);
  BlockIndex index;
  index.original_size = original.size();
  const std::size_t count = (original.size() + block_bytes - 1) / block_bytes;
  index.blocks.reserve(count);
  // The blocks are encoded after room for the index, which is filled last.
  std::vector<std::byte> payload(kBlockIndexHeaderBytes + kBlockIndexEntryBytes * count);
  // No block is stored longer than its original (it is stored raw then).
  payload.reserve(payload.size() + original.size());
  for (std::size_t at = 0; at < original.size(); at += block_bytes) {
    const std::uint64_t stored_at = payload.size();
    const auto block = original.subspan(at, std::min(block_bytes, original.size() - at));
    auto entry = encoder.encode(block, plane_width, payload);
    if (!entry) return std::unexpected(entry.error());
    entry->original_offset = at;
    entry->stored_offset = stored_at;
    index.blocks.push_back(*entry);
  }
  index.payload_size = payload.size();
  const auto head = encode_block_index(index);
  std::copy(head.begin(), head.end(), payload.begin());
  return payload;
}

CodecResult<void> decode_payload(std::span<const std::byte> payload, std::span<std::byte> out, BlockDecoder& decoder) {
  const auto index = decode_block_index(payload, payload.size());
  if (!index) return std::unexpected(index.error());
  if (index->original_size != out.size())
    return std::unexpected(CodecError{CodecError::IndexMalformed{"records " + std::to_string(index->original_size) +
                                                                 " original bytes, the region holds " +
                                                                 std::to_string(out.size())}});
  for (std::size_t i = 0; i < index->blocks.size(); ++i) {
    const BlockEntry& b = index->blocks[i];
    auto done = decoder.decode(b, i, payload.subspan(b.stored_offset, b.stored_size),
                               out.subspan(b.original_offset, b.original_size));
    if (!done) return done;
  }
  return {};
}

}  // namespace vesk
