// How the process may access a range of its own memory, from the kernel's
// current mappings. Read at each call: mappings change under a process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

enum class RangeAccess {
  Writable,  // every page is mapped writable
  ReadOnly,  // every page is mapped, at least one without write permission
  Unknown,   // part of the range is unmapped, or the mappings cannot be read
};

RangeAccess range_access(const std::uint8_t* ptr, std::size_t size);

}  // namespace vesk
