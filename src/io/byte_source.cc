#include "io/byte_source.h"

#include <cstring>

#include "format/region.h"
#include "io/readable_file.h"

namespace vesk {

IoResult<void> FileByteSource::read_exact(std::span<std::byte> buf, std::uint64_t offset) const {
  return pread_exact(file_, buf, offset);
}

IoResult<std::unique_ptr<FileByteSource>> open_file_source(const std::string& path) {
  auto file = open_readable_file(path);
  if (!file) return std::unexpected(file.error());
  auto length = readable_length(*file);
  if (!length) return std::unexpected(length.error());
  return std::make_unique<FileByteSource>(std::move(*file), *length, path);
}

IoResult<void> MemoryByteSource::read_exact(std::span<std::byte> buf, std::uint64_t offset) const {
  if (offset > bytes_.size() || buf.size() > bytes_.size() - offset) {
    // Worded as the restores from memory word the same shortage, so that a
    // buffer gives one error whichever path reads it.
    const std::string message =
        offset == 0 && buf.size() == HEADER_SIZE
            ? "data too short for header: " + std::to_string(bytes_.size()) + " bytes"
            : "data too short: need byte " + std::to_string(offset) + ".." + std::to_string(offset + buf.size()) +
                  " but len is " + std::to_string(bytes_.size());
    return std::unexpected(IoError::custom(IoErrorKind::UnexpectedEof, message));
  }
  if (!buf.empty()) std::memcpy(buf.data(), bytes_.data() + offset, buf.size());
  return {};
}

}  // namespace vesk
