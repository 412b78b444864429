// The 4096-byte header block at the start of every snapshot.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "format/region.h"

namespace vesk {

struct HeaderError {
  struct TooShort {
    std::size_t got;
    std::size_t need;
  };
  struct BadMagic {
    std::array<std::uint8_t, 4> found;
  };
  struct UnsupportedVersion {
    std::uint32_t found;
    std::uint32_t supported;
  };
  std::variant<TooShort, BadMagic, UnsupportedVersion> v;

  std::string message() const;
};

using VllmCommit = std::array<std::uint8_t, 40>;

struct SnapshotHeader {
  std::array<std::uint8_t, 4> magic = SNAPSHOT_MAGIC;
  std::uint32_t version = SNAPSHOT_VERSION;
  std::uint64_t num_regions = 0;
  std::uint64_t region_table_offset = HEADER_SIZE;
  VllmCommit vllm_commit{};

  std::vector<std::uint8_t> to_bytes() const;
  // Examines only the first 4096 bytes.
  static std::expected<SnapshotHeader, HeaderError> from_bytes(std::span<const std::uint8_t> bytes);

  bool operator==(const SnapshotHeader&) const = default;
};

}  // namespace vesk
