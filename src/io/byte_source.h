// Where a snapshot's bytes come from. A file, a buffer in memory and a remote
// object differ only in how a range is fetched; everything that decodes or
// plans (the prelude, the table, the manifest, a restore's chunks) reads
// through this one shape, so every source gets the same checks and errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "io/direct_file.h"
#include "io/io_error.h"

namespace vesk {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The number of bytes the source holds, fixed for the source's life: a
  // source is one file (one inode), one buffer or one version of an object.
  virtual std::uint64_t length() const = 0;

  // Fills all of `buf` from `offset`, or fails; a range past the end is an
  // UnexpectedEof error. Safe to call from several threads at once.
  virtual IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const = 0;

  // What messages call the source: a path, or a URL without its query string
  // (which may hold a signature).
  virtual std::string label() const = 0;
};

// An open snapshot file, read through a plain (not O_DIRECT) descriptor.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(DirectFile file, std::uint64_t length, std::string path)
      : file_(std::move(file)), length_(length), path_(std::move(path)) {}
  std::uint64_t length() const override { return length_; }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override;
  std::string label() const override { return path_; }
  const DirectFile& file() const { return file_; }

 private:
  DirectFile file_;
  std::uint64_t length_;
  std::string path_;
};

// Opens `path` as a snapshot is opened for reading (io/readable_file.h).
IoResult<std::unique_ptr<FileByteSource>> open_file_source(const std::string& path);

// Bytes the caller keeps alive and unchanged for the source's life.
class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(std::span<const std::byte> bytes, std::string label)
      : bytes_(bytes), label_(std::move(label)) {}
  std::uint64_t length() const override { return bytes_.size(); }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override;
  std::string label() const override { return label_; }
  std::span<const std::byte> bytes() const { return bytes_; }

 private:
  std::span<const std::byte> bytes_;
  std::string label_;
};

}  // namespace vesk
