// Byte planes: the bytes of elements `width` wide regrouped so that all
// first bytes come first, then all second bytes, and so on. In model
// weights the high bytes (sign, exponent) repeat a few values and the low
// ones are noise, so the planes compress where the interleaved bytes
// barely do. A tail shorter than one element stays as it is, at the end.
#pragma once

#include <cstddef>
#include <span>

namespace vesk {

// The widths a block may be split by.
bool valid_plane_width(std::size_t width);

// `out` must be as long as `in`; width is one of 1, 2, 4 and 8.
void split_byte_planes(std::span<const std::byte> in, std::size_t width, std::span<std::byte> out);
void join_byte_planes(std::span<const std::byte> planes, std::size_t width, std::span<std::byte> out);

}  // namespace vesk
