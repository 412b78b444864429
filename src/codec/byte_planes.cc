#include "codec/byte_planes.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vesk {

namespace {

// One loop per width, so that the compiler sees a fixed stride and can
// vectorise the gather and the scatter.
template <std::size_t W>
void split_fixed(const std::byte* in, std::size_t elements, std::byte* out) {
  for (std::size_t p = 0; p < W; ++p)
    for (std::size_t i = 0; i < elements; ++i) out[p * elements + i] = in[i * W + p];
}

template <std::size_t W>
void join_fixed(const std::byte* planes, std::size_t elements, std::byte* out) {
  for (std::size_t i = 0; i < elements; ++i)
    for (std::size_t p = 0; p < W; ++p) out[i * W + p] = planes[p * elements + i];
}

template <typename Fn>
void by_width(std::size_t width, Fn fn) {
  switch (width) {
    case 2: fn(std::integral_constant<std::size_t, 2>{}); break;
    case 4: fn(std::integral_constant<std::size_t, 4>{}); break;
    case 8: fn(std::integral_constant<std::size_t, 8>{}); break;
    default: fn(std::integral_constant<std::size_t, 1>{}); break;
  }
}

}  // namespace

bool valid_plane_width(std::size_t width) { return width == 1 || width == 2 || width == 4 || width == 8; }

void split_byte_planes(std::span<const std::byte> in, std::size_t width, std::span<std::byte> out) {
  by_width(width, [&](auto w) {
    const std::size_t elements = in.size() / w;
    if constexpr (w == 1) {
      if (!in.empty()) std::memcpy(out.data(), in.data(), in.size());
    } else {
      split_fixed<w>(in.data(), elements, out.data());
      const std::size_t body = elements * w;
      if (body < in.size()) std::memcpy(out.data() + body, in.data() + body, in.size() - body);
    }
  });
}

void join_byte_planes(std::span<const std::byte> planes, std::size_t width, std::span<std::byte> out) {
  by_width(width, [&](auto w) {
    const std::size_t elements = planes.size() / w;
    if constexpr (w == 1) {
      if (!planes.empty()) std::memcpy(out.data(), planes.data(), planes.size());
    } else {
      join_fixed<w>(planes.data(), elements, out.data());
      const std::size_t body = elements * w;
      if (body < planes.size()) std::memcpy(out.data() + body, planes.data() + body, planes.size() - body);
    }
  });
}

}  // namespace vesk
