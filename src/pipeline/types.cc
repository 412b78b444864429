#include "pipeline/types.h"

#include <cstdio>
#include <string>
#include <type_traits>

namespace vesk {

namespace {

// Checksums always print as ten characters, so that two values line up and
// a computed zero is unmistakable.
std::string crc_hex(std::uint32_t crc) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(crc));
  return buf;
}

std::string region_label(RegionKind kind, std::uint32_t logical_id) {
  return "kind=" + std::string(region_kind_name(kind)) + ", logical_id=" + std::to_string(logical_id);
}

}  // namespace

std::string FreezeError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, Backend>) {
          return "backend error during freeze: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, Snapshot>) {
          return "snapshot error during freeze: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, DuplicateRegion>) {
          return "duplicate region in freeze request: " + region_label(e.kind, e.logical_id) +
                 " is given more than once";
        } else {
          static_assert(std::is_same_v<T, InvalidConfig>);
          return "invalid freeze config: " + e.message;
        }
      },
      v);
}

std::string RestoreError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, Snapshot>) {
          return "snapshot parse failed: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, Backend>) {
          return "backend error during restore: " + e.inner.message();
        } else if constexpr (std::is_same_v<T, UnmappedRegion>) {
          return "no device mapping for region: " + region_label(e.kind, e.logical_id);
        } else if constexpr (std::is_same_v<T, DeviceSizeMismatch>) {
          return "device region size mismatch: " + region_label(e.kind, e.logical_id) +
                 ", file_size=" + std::to_string(e.file_size) + ", device_size=" + std::to_string(e.device_size);
        } else if constexpr (std::is_same_v<T, PayloadOutOfBounds>) {
          return "region payload out of bounds: file_size=" + std::to_string(e.file_size) +
                 ", payload_end=" + std::to_string(e.payload_end);
        } else if constexpr (std::is_same_v<T, ChecksumMismatch>) {
          return "region checksum mismatch: " + region_label(e.kind, e.logical_id) +
                 ", expected=" + crc_hex(e.expected) + ", actual=" + crc_hex(e.actual);
        } else {
          static_assert(std::is_same_v<T, InvalidConfig>);
          return "invalid restore config: " + e.message;
        }
      },
      v);
}

}  // namespace vesk
