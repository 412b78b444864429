#include "codec/block_index.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "codec/byte_planes.h"
#include "codec/crc32c.h"
#include "format/le_bytes.h"

namespace vesk {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'V', 'B', 'I', 'X'};
constexpr std::size_t kCrcField = 24;
constexpr std::uint8_t kRawFlag = 1;

CodecError malformed(std::string what) { return CodecError{CodecError::IndexMalformed{std::move(what)}}; }

std::span<const std::uint8_t> as_u8(std::span<const std::byte> b) {
  return {reinterpret_cast<const std::uint8_t*>(b.data()), b.size()};
}

// The header's fields before the CRC, then the entries.
std::uint32_t index_crc(std::span<const std::byte> index) {
  return crc32c_append(crc32c(index.first(kCrcField)), index.subspan(kBlockIndexHeaderBytes));
}

void store_entry(std::span<std::uint8_t> out, const BlockEntry& e) {
  le::store<std::uint64_t>(out, 0, e.original_offset);
  le::store<std::uint64_t>(out, 8, e.stored_offset);
  le::store<std::uint32_t>(out, 16, e.original_size);
  le::store<std::uint32_t>(out, 20, e.stored_size);
  le::store<std::uint32_t>(out, 24, e.crc32c);
  out[28] = static_cast<std::uint8_t>(e.coder);
  out[29] = e.plane_width;
  out[30] = e.raw ? kRawFlag : 0;
}

// Running positions while the entries are checked in order: each block
// starts where the previous one ended, in the original bytes and in the
// stored ones.
struct Cursor {
  std::uint64_t original;
  std::uint64_t stored;
};

CodecResult<BlockEntry> load_entry(std::span<const std::uint8_t> in, std::uint64_t i, Cursor& at,
                                   const BlockIndex& index) {
  const std::string name = "block " + std::to_string(i) + ": ";
  BlockEntry e;
  e.original_offset = le::load<std::uint64_t>(in, 0);
  e.stored_offset = le::load<std::uint64_t>(in, 8);
  e.original_size = le::load<std::uint32_t>(in, 16);
  e.stored_size = le::load<std::uint32_t>(in, 20);
  e.crc32c = le::load<std::uint32_t>(in, 24);
  const std::uint8_t coder = in[28], width = in[29], flags = in[30];
  if (coder != static_cast<std::uint8_t>(BlockCoder::Zstd))
    return std::unexpected(malformed(name + "unknown coder " + std::to_string(coder)));
  if (!valid_plane_width(width))
    return std::unexpected(malformed(name + "plane width " + std::to_string(width) + " (expected 1, 2, 4 or 8)"));
  if ((flags & ~kRawFlag) != 0) return std::unexpected(malformed(name + "unknown flags " + std::to_string(flags)));
  e.plane_width = width;
  e.raw = (flags & kRawFlag) != 0;

  if (e.original_offset != at.original || e.stored_offset != at.stored)
    return std::unexpected(malformed(name + "offsets " + std::to_string(e.original_offset) + "/" +
                                     std::to_string(e.stored_offset) + " (expected " + std::to_string(at.original) +
                                     "/" + std::to_string(at.stored) + ")"));
  if (e.original_size == 0 || e.original_size > kMaxBlockBytes)
    return std::unexpected(malformed(name + "original size " + std::to_string(e.original_size)));
  if (e.original_size > index.original_size - at.original)
    return std::unexpected(
        malformed(name + "runs past the original " + std::to_string(index.original_size) + " bytes"));
  // A coded block is kept only when it shrank; a raw one is the original.
  if (e.raw ? e.stored_size != e.original_size : (e.stored_size == 0 || e.stored_size >= e.original_size))
    return std::unexpected(malformed(name + "stored size " + std::to_string(e.stored_size) + " for " +
                                     std::to_string(e.original_size) + " original bytes" +
                                     (e.raw ? " stored raw" : "")));
  if (e.stored_size > index.payload_size - at.stored)
    return std::unexpected(
        malformed(name + "runs past the payload's " + std::to_string(index.payload_size) + " bytes"));
  at.original += e.original_size;
  at.stored += e.stored_size;
  return e;
}

}  // namespace

std::vector<std::byte> encode_block_index(const BlockIndex& index) {
  std::vector<std::byte> bytes(index.index_bytes());
  std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
  std::memcpy(out.data(), kMagic.data(), kMagic.size());
  le::store<std::uint32_t>(out, 4, static_cast<std::uint32_t>(index.blocks.size()));
  le::store<std::uint64_t>(out, 8, index.original_size);
  le::store<std::uint64_t>(out, 16, index.payload_size);
  for (std::size_t i = 0; i < index.blocks.size(); ++i)
    store_entry(out.subspan(kBlockIndexHeaderBytes + i * kBlockIndexEntryBytes, kBlockIndexEntryBytes),
                index.blocks[i]);
  le::store<std::uint32_t>(out, kCrcField, index_crc(bytes));
  return bytes;
}

CodecResult<std::uint64_t> block_index_bytes(std::span<const std::byte> header, std::uint64_t payload_size) {
  if (header.size() < kBlockIndexHeaderBytes || payload_size < kBlockIndexHeaderBytes)
    return std::unexpected(malformed("the header needs " + std::to_string(kBlockIndexHeaderBytes) + " bytes, " +
                                     std::to_string(std::min<std::uint64_t>(header.size(), payload_size)) +
                                     " are stored"));
  const auto in = as_u8(header);
  if (std::memcmp(in.data(), kMagic.data(), kMagic.size()) != 0) return std::unexpected(malformed("bad magic"));
  const std::uint64_t recorded = le::load<std::uint64_t>(in, 16);
  if (recorded != payload_size)
    return std::unexpected(malformed("records a payload of " + std::to_string(recorded) + " bytes, " +
                                     std::to_string(payload_size) + " are stored"));
  // A u32 count times 32 cannot overflow 64 bits.
  const std::uint64_t bytes = kBlockIndexHeaderBytes + kBlockIndexEntryBytes * le::load<std::uint32_t>(in, 4);
  if (bytes > payload_size)
    return std::unexpected(malformed("an index of " + std::to_string(bytes) + " bytes in a payload of " +
                                     std::to_string(payload_size)));
  return bytes;
}

CodecResult<BlockIndex> decode_block_index(std::span<const std::byte> bytes, std::uint64_t payload_size) {
  const auto length = block_index_bytes(bytes, payload_size);
  if (!length) return std::unexpected(length.error());
  if (*length > bytes.size())
    return std::unexpected(malformed("an index of " + std::to_string(*length) + " bytes, " +
                                     std::to_string(bytes.size()) + " given"));
  const auto index_span = bytes.first(*length);
  const auto in = as_u8(index_span);
  const std::uint32_t expected = le::load<std::uint32_t>(in, kCrcField);
  const std::uint32_t actual = index_crc(index_span);
  if (expected != actual) return std::unexpected(CodecError{CodecError::IndexChecksumMismatch{expected, actual}});

  BlockIndex index;
  index.original_size = le::load<std::uint64_t>(in, 8);
  index.payload_size = payload_size;
  const std::uint32_t count = le::load<std::uint32_t>(in, 4);
  index.blocks.reserve(count);
  Cursor at{0, *length};
  for (std::uint32_t i = 0; i < count; ++i) {
    auto entry = load_entry(in.subspan(kBlockIndexHeaderBytes + i * kBlockIndexEntryBytes, kBlockIndexEntryBytes), i,
                            at, index);
    if (!entry) return std::unexpected(entry.error());
    index.blocks.push_back(*entry);
  }
  if (at.original != index.original_size)
    return std::unexpected(malformed("the blocks hold " + std::to_string(at.original) + " of " +
                                     std::to_string(index.original_size) + " original bytes"));
  if (at.stored != payload_size)
    return std::unexpected(malformed("the blocks end at " + std::to_string(at.stored) + " of " +
                                     std::to_string(payload_size) + " stored bytes"));
  return index;
}

}  // namespace vesk
