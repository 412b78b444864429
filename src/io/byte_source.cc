#include "io/byte_source.h"

#include <cstring>

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
    return std::unexpected(IoError::custom(
        IoErrorKind::UnexpectedEof, "read of " + std::to_string(buf.size()) + " bytes at offset " +
                                        std::to_string(offset) + " runs past the end of " +
                                        std::to_string(bytes_.size()) + " bytes"));
  }
  if (!buf.empty()) std::memcpy(buf.data(), bytes_.data() + offset, buf.size());
  return {};
}

}  // namespace vesk
