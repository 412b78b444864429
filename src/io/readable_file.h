// Opening a snapshot for reading. A FIFO, a socket or a character device at
// the path must neither hang the caller (a FIFO blocks an ordinary open and
// every read until a writer comes) nor be read as a snapshot, and a block
// device holding a snapshot reports no length through fstat.
#pragma once

#include <cstdint>
#include <string>

#include "io/direct_file.h"
#include "io/io_error.h"

namespace vesk {

// Opens `path` read-only, without O_DIRECT, without blocking whatever sits
// there, and accepts only a regular file or a block device; a directory is
// refused as reading one would be (EISDIR), anything else at once with a
// message that says what it is. The descriptor then blocks as usual.
IoResult<DirectFile> open_readable_file(const std::string& path);

// The number of bytes a reader of `f` finds: the length of a regular file,
// the size of a block device.
IoResult<std::uint64_t> readable_length(const DirectFile& f);

}  // namespace vesk
