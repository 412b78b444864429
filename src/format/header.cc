#include "format/header.h"

#include <algorithm>

#include "format/le_bytes.h"

namespace vesk {

namespace {
constexpr std::size_t MAGIC_AT = 0;
constexpr std::size_t VERSION_AT = 4;
constexpr std::size_t NUM_REGIONS_AT = 8;
constexpr std::size_t TABLE_OFFSET_AT = 16;
constexpr std::size_t COMMIT_AT = 24;
}  // namespace

std::string HeaderError::message() const {
  if (const auto* e = std::get_if<TooShort>(&v)) {
    return "header is too short: got " + std::to_string(e->got) + " bytes, need at least " +
           std::to_string(e->need);
  }
  if (const auto* e = std::get_if<BadMagic>(&v)) {
    std::string found = "[";
    for (std::size_t i = 0; i < e->found.size(); ++i) {
      if (i != 0) found += ", ";
      found += std::to_string(e->found[i]);
    }
    found += "]";
    return "bad magic bytes: expected b\"VESK\", found " + found;
  }
  const auto& e = std::get<UnsupportedVersion>(v);
  return "unsupported snapshot version: found " + std::to_string(e.found) + ", this binary supports " +
         std::to_string(e.supported);
}

std::vector<std::uint8_t> SnapshotHeader::to_bytes() const {
  std::vector<std::uint8_t> out(HEADER_SIZE, 0);
  std::ranges::copy(magic, out.begin() + MAGIC_AT);
  le::store<std::uint32_t>(out, VERSION_AT, version);
  le::store<std::uint64_t>(out, NUM_REGIONS_AT, num_regions);
  le::store<std::uint64_t>(out, TABLE_OFFSET_AT, region_table_offset);
  std::ranges::copy(vllm_commit, out.begin() + COMMIT_AT);
  return out;
}

std::expected<SnapshotHeader, HeaderError> SnapshotHeader::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < HEADER_SIZE) {
    return std::unexpected(HeaderError{HeaderError::TooShort{bytes.size(), HEADER_SIZE}});
  }
  SnapshotHeader h;
  std::copy_n(bytes.begin() + MAGIC_AT, h.magic.size(), h.magic.begin());
  if (h.magic != SNAPSHOT_MAGIC) return std::unexpected(HeaderError{HeaderError::BadMagic{h.magic}});
  h.version = le::load<std::uint32_t>(bytes, VERSION_AT);
  if (h.version != SNAPSHOT_VERSION) {
    return std::unexpected(HeaderError{HeaderError::UnsupportedVersion{h.version, SNAPSHOT_VERSION}});
  }
  h.num_regions = le::load<std::uint64_t>(bytes, NUM_REGIONS_AT);
  h.region_table_offset = le::load<std::uint64_t>(bytes, TABLE_OFFSET_AT);
  std::copy_n(bytes.begin() + COMMIT_AT, h.vllm_commit.size(), h.vllm_commit.begin());
  return h;
}

}  // namespace vesk
