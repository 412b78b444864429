// Whole-range positional reads and writes cut into pieces that are in
// flight together, so that one chunk keeps the device's queue full. Each
// call gives exactly the result that one pread_exact / pwrite_exact of the
// whole range would give: success, or the error of the first failing
// piece in file order, an end-of-file or zero-write message counting the
// bytes from the start of the range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "io/direct_file.h"
#include "io/io_error.h"
#include "pipeline/io_pieces.h"

namespace vesk {

// The pieces to use for this file: `wanted`, except where parallel requests
// gain nothing. Memory file systems have no device queue to fill and
// serialise writers; buffered writes are serialised by the file system too.
IoPieces read_pieces_for(const DirectFile& f, IoPieces wanted);
IoPieces write_pieces_for(const DirectFile& f, IoPieces wanted);

// Threads are started and joined inside the call; a thread that cannot be
// started has its pieces moved on the calling thread instead. No piece is
// retried: a piece that fails stops the pieces after it where they have not
// started yet.
IoResult<void> pread_pieces(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset, IoPieces pieces);
// Before parallel writes the range is reserved in the file (best effort):
// writes inside the file's length and allocated blocks can run side by side
// where file-extending writes would be serialised.
IoResult<void> pwrite_pieces(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset,
                             IoPieces pieces);

// What a test's piece fault (testing/test_seams.h) is told of each piece.
struct PieceTransfer {
  bool write;
  bool direct;           // the descriptor has O_DIRECT
  std::uint64_t index;   // 0-based piece within the call
  std::uint64_t offset;  // file offset of the piece
  std::size_t len;
};
using PieceFault = std::optional<IoError> (*)(const PieceTransfer&);

}  // namespace vesk
