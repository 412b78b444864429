// How one chunk's file transfer is cut into requests that are in flight at
// the same time.
#pragma once

#include <cstdint>

namespace vesk {

// Chosen by measurement on the working disk (ext4 on a shared virtio disk,
// 254 segments per request, so a request carries at most about 1 MiB) and
// on /dev/shm, 2 cores, 4 GiB files, best of several runs each:
//   - fio 4 MiB direct at queue depth 16: read 1.0–1.5 GB/s, write
//     1.3–2.1 GB/s; 64 MiB at depth 1: read about 1.1 GB/s. The disk is
//     bandwidth-limited and noisy; depth decides little once the device
//     queue is full (about 40 requests at once, from either pattern).
//   - a single 64 MiB O_DIRECT pwrite into a new file already keeps the
//     device queue about 35 deep; eight parallel 8 MiB pwrites without
//     reserving the range first kept it 3–6 deep (ext4 serialises writes
//     that extend a file), with the range reserved 25–37 deep.
//   - 8 × 8 MiB and 16 × 4 MiB read and wrote within noise of each other;
//     8 × 8 MiB spawns half the threads per chunk.
//   - on /dev/shm, parallel writes were slower (1.2–2.2 GB/s against
//     1.9–2.7 for one request: tmpfs serialises writers on the inode) and
//     parallel reads no faster, so memory file systems get one request.
// See bench/bench_file_pipelines.cc for the pipelines themselves.
inline constexpr std::uint32_t kIoDepth = 8;
inline constexpr std::uint64_t kIoPieceSize = std::uint64_t{8} << 20;
// More threads than this per chunk would only add start-up cost.
inline constexpr std::uint32_t kMaxIoDepth = 64;

struct IoPieces {
  // Requests in flight at once, each on its own short-lived thread (the
  // calling thread is one of them); 1 moves the whole chunk in one request.
  std::uint32_t depth = kIoDepth;
  // Bytes per request, rounded down to a multiple of 4096 (at least 4096);
  // the last piece of a chunk takes whatever is left.
  std::uint64_t piece_size = kIoPieceSize;

  static constexpr IoPieces one_request() { return IoPieces{1, kIoPieceSize}; }
  bool operator==(const IoPieces&) const = default;
};

}  // namespace vesk
