// Errors of the block codec: a block index that does not describe the
// stored bytes, a stored block that is damaged or does not decode to its
// recorded size, or a coder that fails.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace vesk {

struct CodecError {
  // A field of the index that contradicts the stored size or another field.
  struct IndexMalformed {
    std::string what;
  };
  struct IndexChecksumMismatch {
    std::uint32_t expected;
    std::uint32_t actual;
  };
  struct BlockChecksumMismatch {
    std::uint64_t block;
    std::uint32_t expected;
    std::uint32_t actual;
  };
  // The coder refused the stored bytes; `detail` is the coder's own name
  // for the failure.
  struct DecodeFailed {
    std::uint64_t block;
    std::string detail;
  };
  struct DecodedSizeWrong {
    std::uint64_t block;
    std::uint64_t expected;
    std::uint64_t actual;
  };
  struct EncodeFailed {
    std::string detail;
  };
  // zstd could not allocate a coder context.
  struct NoContext {};
  std::variant<IndexMalformed, IndexChecksumMismatch, BlockChecksumMismatch, DecodeFailed, DecodedSizeWrong,
               EncodeFailed, NoContext>
      v;

  std::string message() const;
};

template <typename T>
using CodecResult = std::expected<T, CodecError>;

}  // namespace vesk
