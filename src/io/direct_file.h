// Thin positional file access with O_DIRECT where the file system takes it.
// Alignment is the callers' duty; this layer passes requests through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "io/io_error.h"
#include "io/unique_fd.h"

namespace vesk {

struct DirectFile {
  UniqueFd file;
  bool direct = false;
};

// Which way a transfer moves bytes: from the file into memory, or out.
enum class IoDirection { Read, Write };

// The error of a whole-range transfer whose last call moved nothing after
// `done` of `len` bytes from `offset`: end of file for a read, a zero-byte
// write for a write.
IoError no_progress_error(IoDirection direction, std::uint64_t done, std::uint64_t len, std::uint64_t offset);

// Open attempts whose failure is never reported (nullopt instead).
std::optional<UniqueFd> try_open_direct(const std::string& path);
std::optional<UniqueFd> try_open_direct_write(const std::string& path, bool truncate);

IoResult<DirectFile> open_direct(const std::string& path, bool try_direct);
IoResult<DirectFile> open_direct_write(const std::string& path, bool try_direct, bool truncate);

// A further descriptor on the very file (inode) `f` is open on, whatever was
// renamed or replaced since it was opened: reopened through /proc/self/fd,
// with O_DIRECT when asked for and accepted, else without; where /proc is
// not there, a duplicate without O_DIRECT. `access` is O_RDONLY or O_WRONLY.
IoResult<DirectFile> reopen_direct(const DirectFile& f, int access, bool try_direct);

// One pread/pwrite (repeated while a signal interrupts it); the count may
// be short.
IoResult<std::size_t> pread_into(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset);
IoResult<std::size_t> pwrite_from(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset);

// Whole-range transfers; stop at the first failing call.
IoResult<void> pread_exact(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset);
IoResult<void> pwrite_exact(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset);

IoResult<void> truncate(const DirectFile& f, std::uint64_t len);
IoResult<void> fsync_file(const DirectFile& f);
IoResult<void> fsync_dir(const std::string& dir_path);

}  // namespace vesk
