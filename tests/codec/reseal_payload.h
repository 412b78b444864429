// Rewrites the CRCs a compressed payload's index holds (of each stored
// block that lies inside the payload, then of the index itself), so that a
// test's change to a field or a block reaches the field checks or the
// decoder instead of stopping at a checksum.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/block_index.h"
#include "codec/crc32c.h"
#include "format/le_bytes.h"

namespace vesk::test {

inline void reseal_payload(std::vector<std::byte>& payload) {
  constexpr std::size_t kHeader = kBlockIndexHeaderBytes, kEntry = kBlockIndexEntryBytes;
  if (payload.size() < kHeader) return;
  const std::span<std::uint8_t> raw(reinterpret_cast<std::uint8_t*>(payload.data()), payload.size());
  const std::span<const std::byte> bytes(payload);
  const std::size_t count = std::min<std::size_t>(le::load<std::uint32_t>(raw, 4), (payload.size() - kHeader) / kEntry);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kHeader + i * kEntry;
    const std::uint64_t offset = le::load<std::uint64_t>(raw, at + 8);
    const std::uint32_t length = le::load<std::uint32_t>(raw, at + 20);
    if (offset <= payload.size() && length <= payload.size() - offset)
      le::store<std::uint32_t>(raw, at + 24, crc32c(bytes.subspan(offset, length)));
  }
  le::store<std::uint32_t>(raw, 24, crc32c_append(crc32c(bytes.first(24)), bytes.subspan(kHeader, count * kEntry)));
}

}  // namespace vesk::test
