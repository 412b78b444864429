// Region kinds, region table entries and the region table, with their
// 32-byte little-endian encoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vesk {

inline constexpr std::array<std::uint8_t, 4> SNAPSHOT_MAGIC = {'V', 'E', 'S', 'K'};
inline constexpr std::uint32_t SNAPSHOT_VERSION = 2;
inline constexpr std::size_t HEADER_SIZE = 4096;
inline constexpr std::size_t REGION_ENTRY_SIZE = 32;

enum class RegionKind : std::uint32_t { Weights = 0, KvLiveBlock = 1, Metadata = 2 };

// "Weights", "KvLiveBlock", "Metadata": the name used in messages.
std::string_view region_kind_name(RegionKind kind);

// Identifies a region in a snapshot, a freeze request and a restore mapping.
struct RegionKey {
  RegionKind kind;
  std::uint32_t logical_id;
  bool operator==(const RegionKey&) const = default;
};

struct RegionKeyHash {
  std::size_t operator()(const RegionKey& k) const noexcept {
    return std::hash<std::uint64_t>{}((std::uint64_t{static_cast<std::uint32_t>(k.kind)} << 32) | k.logical_id);
  }
};

struct RegionError {
  struct TooShort {
    std::size_t got;
    std::size_t need;
  };
  struct UnknownKind {
    std::uint32_t found;
  };
  std::variant<TooShort, UnknownKind> v;

  std::string message() const;
};

struct RegionEntry {
  RegionKind kind = RegionKind::Weights;
  std::uint32_t logical_id = 0;
  std::uint64_t size = 0;
  std::uint64_t file_offset = 0;
  std::uint32_t crc32c = 0;

  std::vector<std::uint8_t> to_bytes() const;
  // Writes the 32-byte encoding at out[0..32).
  void encode_into(std::span<std::uint8_t, REGION_ENTRY_SIZE> out) const;
  static std::expected<RegionEntry, RegionError> from_bytes(std::span<const std::uint8_t> bytes);

  bool operator==(const RegionEntry&) const = default;
};

class RegionTable {
 public:
  RegionTable() = default;

  void push(const RegionEntry& entry) { entries_.push_back(entry); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  std::optional<RegionEntry> get(std::size_t index) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<RegionEntry>& entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  std::vector<std::uint8_t> to_bytes() const;
  static std::expected<RegionTable, RegionError> from_bytes(std::span<const std::uint8_t> bytes, std::uint64_t count);

  bool operator==(const RegionTable&) const = default;

 private:
  std::vector<RegionEntry> entries_;
};

}  // namespace vesk
