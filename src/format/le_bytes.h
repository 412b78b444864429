// Little-endian integer access for the on-disk encodings. Callers check
// lengths first; these helpers never look past the span they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk::le {

template <typename T>
T load(std::span<const std::uint8_t> bytes, std::size_t at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes[at + i]) << (8 * i);
  return value;
}

template <typename T>
void store(std::span<std::uint8_t> bytes, std::size_t at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace vesk::le
