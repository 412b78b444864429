// Arbitrary bytes as a compressed region payload (block index, then the
// stored blocks): the index checks and the block decoder must refuse
// anything malformed with a message, never read outside the input nor
// write outside the output, and what they accept must decode to exactly
// the sizes the index records and survive a re-encode.
//
// The input's first byte picks a mode: odd, the CRCs of the index and of
// every block that lies inside the input are recomputed first, so that
// mutations reach the field checks and the zstd decoder instead of
// stopping at a checksum; even, the rest of the input is taken as it is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/block_index.h"
#include "codec/payload_codec.h"
#include "codec/reseal_payload.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_codec: %s\n", what);
  std::abort();
}

// Whole payloads up to this size are decoded at once; longer ones (a tiny
// frame may claim many MiB of zeros) block by block, one block's memory at a time.
constexpr std::uint64_t kWholeDecodeBytes = 8u << 20;
constexpr std::uint64_t kDecodeBudgetBytes = 256u << 20;

void check_refusal(const vesk::CodecError& e) {
  if (e.message().empty()) fail("empty error message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  std::vector<std::byte> input(bytes + 1, bytes + size);
  if ((data[0] & 1) != 0) vesk::test::reseal_payload(input);
  const std::span<const std::byte> payload(input);
  size = input.size();
  static auto decoder = vesk::BlockDecoder::create();
  static auto encoder = vesk::BlockEncoder::create(vesk::kDefaultCodecLevel);
  if (!decoder || !encoder) fail("cannot create the coder contexts");

  const auto index = vesk::decode_block_index(payload, size);
  if (!index) {
    check_refusal(index.error());
    return 0;
  }
  for (const vesk::BlockEntry& b : index->blocks)
    if (b.stored_offset > size || b.stored_size > size - b.stored_offset) fail("accepted a block outside the input");

  if (index->original_size > kWholeDecodeBytes) {
    // Up to a budget: thousands of tiny frames may each claim 64 MiB.
    std::vector<std::byte> out;
    std::uint64_t decoded = 0;
    for (std::size_t i = 0; i < index->blocks.size() && decoded < kDecodeBudgetBytes; ++i) {
      const vesk::BlockEntry& b = index->blocks[i];
      decoded += b.original_size;
      out.resize(b.original_size);
      const auto r = decoder->decode(b, i, payload.subspan(b.stored_offset, b.stored_size), out);
      if (!r) {
        check_refusal(r.error());
        return 0;
      }
    }
    return 0;
  }

  std::vector<std::byte> out(index->original_size);
  const auto r = vesk::decode_payload(payload, out, *decoder);
  if (!r) {
    check_refusal(r.error());
    return 0;
  }
  // What decoded re-encodes to a payload that decodes to the same bytes.
  const std::size_t width = index->blocks.empty() ? 1 : index->blocks[0].plane_width;
  const auto again = vesk::encode_payload(out, width, vesk::kDefaultBlockBytes, *encoder);
  if (!again) fail("cannot re-encode decoded bytes");
  std::vector<std::byte> back(out.size());
  if (!vesk::decode_payload(*again, back, *decoder) || back != out) fail("re-encoded payload decodes differently");
  return 0;
}
