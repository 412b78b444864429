#include "format/region.h"

#include <algorithm>
#include <limits>

#include "format/le_bytes.h"

namespace vesk {

std::string_view region_kind_name(RegionKind kind) {
  switch (kind) {
    case RegionKind::Weights: return "Weights";
    case RegionKind::KvLiveBlock: return "KvLiveBlock";
    case RegionKind::Metadata: return "Metadata";
  }
  return "Unknown";
}

std::string RegionError::message() const {
  if (const auto* e = std::get_if<TooShort>(&v)) {
    return "region entry slice is too short: got " + std::to_string(e->got) + " bytes, need " +
           std::to_string(e->need);
  }
  return "unknown region kind discriminant: " + std::to_string(std::get<UnknownKind>(v).found);
}

void RegionEntry::encode_into(std::span<std::uint8_t, REGION_ENTRY_SIZE> out) const {
  std::span<std::uint8_t> b(out);
  le::store<std::uint32_t>(b, 0, static_cast<std::uint32_t>(kind));
  le::store<std::uint32_t>(b, 4, logical_id);
  le::store<std::uint64_t>(b, 8, size);
  le::store<std::uint64_t>(b, 16, file_offset);
  le::store<std::uint32_t>(b, 24, crc32c);
  le::store<std::uint32_t>(b, 28, 0);
}

std::vector<std::uint8_t> RegionEntry::to_bytes() const {
  std::vector<std::uint8_t> out(REGION_ENTRY_SIZE);
  encode_into(std::span<std::uint8_t, REGION_ENTRY_SIZE>(out.data(), REGION_ENTRY_SIZE));
  return out;
}

std::expected<RegionEntry, RegionError> RegionEntry::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < REGION_ENTRY_SIZE) {
    return std::unexpected(RegionError{RegionError::TooShort{bytes.size(), REGION_ENTRY_SIZE}});
  }
  std::uint32_t raw_kind = le::load<std::uint32_t>(bytes, 0);
  if (raw_kind > static_cast<std::uint32_t>(RegionKind::Metadata)) {
    return std::unexpected(RegionError{RegionError::UnknownKind{raw_kind}});
  }
  RegionEntry e;
  e.kind = static_cast<RegionKind>(raw_kind);
  e.logical_id = le::load<std::uint32_t>(bytes, 4);
  e.size = le::load<std::uint64_t>(bytes, 8);
  e.file_offset = le::load<std::uint64_t>(bytes, 16);
  e.crc32c = le::load<std::uint32_t>(bytes, 24);
  return e;
}

std::optional<RegionEntry> RegionTable::get(std::size_t index) const {
  if (index >= entries_.size()) return std::nullopt;
  return entries_[index];
}

std::vector<std::uint8_t> RegionTable::to_bytes() const {
  std::vector<std::uint8_t> out(REGION_ENTRY_SIZE * entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    entries_[i].encode_into(std::span<std::uint8_t, REGION_ENTRY_SIZE>(out.data() + i * REGION_ENTRY_SIZE,
                                                                      REGION_ENTRY_SIZE));
  }
  return out;
}

std::expected<RegionTable, RegionError> RegionTable::from_bytes(std::span<const std::uint8_t> bytes,
                                                                std::uint64_t count) {
  // The count comes from the file: check it against the bytes before
  // reserving anything, so a forged count cannot demand a huge allocation.
  if (bytes.size() / REGION_ENTRY_SIZE < count) {
    constexpr std::uint64_t max = std::numeric_limits<std::size_t>::max();
    std::size_t need = count > max / REGION_ENTRY_SIZE ? max : count * REGION_ENTRY_SIZE;
    return std::unexpected(RegionError{RegionError::TooShort{bytes.size(), need}});
  }
  RegionTable table;
  table.entries_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto entry = RegionEntry::from_bytes(bytes.subspan(i * REGION_ENTRY_SIZE, REGION_ENTRY_SIZE));
    if (!entry) return std::unexpected(entry.error());
    table.entries_.push_back(*entry);
  }
  return table;
}

}  // namespace vesk
