#include "pipeline/config.h"

#include <string>

#include "pipeline/chunk_geometry.h"

namespace vesk {

bool chunk_size_is_valid(std::uint64_t chunk_size) { return chunk_size != 0 && chunk_size % kAlign == 0; }

std::string invalid_chunk_size_message(std::uint64_t chunk_size) {
  return "chunk_size must be a positive multiple of 4096, got " + std::to_string(chunk_size);
}

}  // namespace vesk
