// A destination for a snapshot prelude that takes every byte or fails
// (Snapshot::write_to).
#pragma once

#include <cstdint>
#include <span>

#include "io/io_error.h"

namespace vesk {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual IoResult<void> write_all(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace vesk
