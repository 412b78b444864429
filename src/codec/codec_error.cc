#include "codec/codec_error.h"

#include <cstdio>
#include <type_traits>

namespace vesk {

namespace {

std::string hex32(std::uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

std::string mismatch(std::uint32_t expected, std::uint32_t actual) {
  return "expected=" + hex32(expected) + ", actual=" + hex32(actual);
}

}  // namespace

std::string CodecError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, IndexMalformed>) {
          return "malformed block index: " + e.what;
        } else if constexpr (std::is_same_v<T, IndexChecksumMismatch>) {
          return "block index checksum mismatch: " + mismatch(e.expected, e.actual);
        } else if constexpr (std::is_same_v<T, BlockChecksumMismatch>) {
          return "block " + std::to_string(e.block) + " checksum mismatch: " + mismatch(e.expected, e.actual);
        } else if constexpr (std::is_same_v<T, DecodeFailed>) {
          return "block " + std::to_string(e.block) + " failed to decode: " + e.detail;
        } else if constexpr (std::is_same_v<T, DecodedSizeWrong>) {
          return "block " + std::to_string(e.block) + " decodes to " + std::to_string(e.actual) +
                 " bytes, expected " + std::to_string(e.expected);
        } else if constexpr (std::is_same_v<T, EncodeFailed>) {
          return "block encoding failed: " + e.detail;
        } else {
          return std::string("cannot create a zstd context");
        }
      },
      v);
}

}  // namespace vesk
