#include "codec/block_codec.h"

#include <zstd.h>

#include <cstring>
#include <string>

#include "codec/byte_planes.h"
#include "codec/crc32c.h"

namespace vesk {

void ZstdContextDeleter::operator()(ZSTD_CCtx_s* c) const { ZSTD_freeCCtx(c); }
void ZstdContextDeleter::operator()(ZSTD_DCtx_s* d) const { ZSTD_freeDCtx(d); }

namespace {

CodecError encode_failed(std::string detail) { return CodecError{CodecError::EncodeFailed{std::move(detail)}}; }

CodecError decode_failed(std::uint64_t block, std::string detail) {
  return CodecError{CodecError::DecodeFailed{block, std::move(detail)}};
}

// Grows a scratch buffer without clearing what it will overwrite anyway.
std::span<std::byte> scratch(std::vector<std::byte>& buf, std::size_t n) {
  if (buf.size() < n) buf.resize(n);
  return std::span(buf).first(n);
}

}  // namespace

CodecResult<BlockEncoder> BlockEncoder::create(int level) {
  std::unique_ptr<ZSTD_CCtx_s, ZstdContextDeleter> ctx(ZSTD_createCCtx());
  if (!ctx) return std::unexpected(CodecError{CodecError::NoContext{}});
  const std::size_t rc = ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(rc)) return std::unexpected(encode_failed(ZSTD_getErrorName(rc)));
  // The stored CRC covers the frame; zstd's own checksum would be a second one.
  ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_contentSizeFlag, 1);
  return BlockEncoder(std::move(ctx));
}

CodecResult<BlockEntry> BlockEncoder::encode(std::span<const std::byte> original, std::size_t plane_width,
                                             std::vector<std::byte>& stored) {
  if (original.empty() || original.size() > kMaxBlockBytes || !valid_plane_width(plane_width))
    return std::unexpected(encode_failed("a block of " + std::to_string(original.size()) + " bytes split by " +
                                         std::to_string(plane_width) + " cannot be encoded"));
  std::span<const std::byte> planes = original;
  if (plane_width > 1) {
    auto out = scratch(planes_, original.size());
    split_byte_planes(original, plane_width, out);
    planes = out;
  }
  auto coded = scratch(coded_, ZSTD_compressBound(original.size()));
  const std::size_t n = ZSTD_compress2(ctx_.get(), coded.data(), coded.size(), planes.data(), planes.size());
  if (ZSTD_isError(n)) return std::unexpected(encode_failed(ZSTD_getErrorName(n)));

  BlockEntry entry;
  entry.original_size = static_cast<std::uint32_t>(original.size());
  entry.plane_width = static_cast<std::uint8_t>(plane_width);
  entry.raw = n * 1000 > original.size() * kKeepCodedPerMille;
  const std::span<const std::byte> kept = entry.raw ? original : coded.first(n);
  entry.stored_size = static_cast<std::uint32_t>(kept.size());
  entry.crc32c = crc32c(kept);
  stored.insert(stored.end(), kept.begin(), kept.end());
  return entry;
}

CodecResult<BlockDecoder> BlockDecoder::create() {
  std::unique_ptr<ZSTD_DCtx_s, ZstdContextDeleter> ctx(ZSTD_createDCtx());
  if (!ctx) return std::unexpected(CodecError{CodecError::NoContext{}});
  return BlockDecoder(std::move(ctx));
}

CodecResult<void> BlockDecoder::decode(const BlockEntry& entry, std::uint64_t block,
                                       std::span<const std::byte> stored, std::span<std::byte> out) {
  if (stored.size() != entry.stored_size || out.size() != entry.original_size)
    return std::unexpected(decode_failed(block, "buffers do not match the block's sizes"));
  const std::uint32_t actual = crc32c(stored);
  if (actual != entry.crc32c)
    return std::unexpected(CodecError{CodecError::BlockChecksumMismatch{block, entry.crc32c, actual}});
  if (entry.raw) {
    if (!out.empty()) std::memcpy(out.data(), stored.data(), out.size());
    return {};
  }

  // One frame exactly, recording the block's size: a frame that would
  // decode to more than its block is refused before any byte is written.
  const std::size_t frame = ZSTD_findFrameCompressedSize(stored.data(), stored.size());
  if (ZSTD_isError(frame)) return std::unexpected(decode_failed(block, ZSTD_getErrorName(frame)));
  if (frame != stored.size()) return std::unexpected(decode_failed(block, "bytes after the frame"));
  const unsigned long long declared = ZSTD_getFrameContentSize(stored.data(), stored.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR)
    return std::unexpected(decode_failed(block, "the frame does not record its size"));
  if (declared != out.size())
    return std::unexpected(CodecError{CodecError::DecodedSizeWrong{block, out.size(), declared}});

  const std::span<std::byte> planes = entry.plane_width > 1 ? scratch(planes_, out.size()) : out;
  const std::size_t n = ZSTD_decompressDCtx(ctx_.get(), planes.data(), planes.size(), stored.data(), stored.size());
  if (ZSTD_isError(n)) return std::unexpected(decode_failed(block, ZSTD_getErrorName(n)));
  if (n != out.size()) return std::unexpected(CodecError{CodecError::DecodedSizeWrong{block, out.size(), n}});
  if (entry.plane_width > 1) join_byte_planes(planes, entry.plane_width, out);
  return {};
}

}  // namespace vesk
