// A whole region's payload: its block index followed by its blocks, encoded
// and decoded one block after another on the calling thread. The pipelines
// spread the same block calls over their workers; this is the reference
// they are tested against.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "codec/block_codec.h"
#include "codec/codec_error.h"

namespace vesk {

// `block_bytes` is rounded down to a multiple of 8 (so that no element
// straddles two blocks) and kept between 8 and kMaxBlockBytes.
CodecResult<std::vector<std::byte>> encode_payload(std::span<const std::byte> original, std::size_t plane_width,
                                                   std::size_t block_bytes, BlockEncoder& encoder);

// Decodes a stored payload into `out`, which must be exactly as long as the
// original bytes the index records.
CodecResult<void> decode_payload(std::span<const std::byte> payload, std::span<std::byte> out, BlockDecoder& decoder);

}  // namespace vesk
