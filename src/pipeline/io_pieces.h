// How one chunk's file transfer is cut into requests that are in flight at
// the same time.
#pragma once

#include <cstdint>

namespace vesk {

// More threads than this per chunk would only add start-up cost.
inline constexpr std::uint32_t kMaxIoDepth = 64;

struct IoPieces {
  // Requests in flight at once, each on its own short-lived thread (the
  // calling thread is one of them); 1 moves the whole chunk in one request.
  std::uint32_t depth = 1;
  // Bytes per request, rounded down to a multiple of 4096 (at least 4096);
  // the last piece of a chunk takes whatever is left.
  std::uint64_t piece_size = std::uint64_t{8} << 20;

  static constexpr IoPieces one_request() { return IoPieces{}; }
  bool operator==(const IoPieces&) const = default;
};

// The defaults were measured on the working disk (ext4 on a shared virtio
// disk whose speed varies by a factor of two from minute to minute; 2
// cores) with bench/bench_file_pipelines.cc, 64 MiB chunks, 2 and 4 GiB
// snapshots, 5–7 rounds with the designs alternating, and with fio and a
// raw pread/pwrite loop beside them.
//
// A single 64 MiB O_DIRECT request already reaches the device as some 60
// requests of up to 1 MiB submitted together: the device queue stood 18–45
// deep with one request per chunk as with 8 × 8 MiB or 16 × 4 MiB pieces,
// and the disk is limited by bandwidth rather than depth.
//
// Reads: pieces gained a few per cent, less than the noise of single runs
// but in most paired rounds. Median restore of 2 GiB:
// one request 0.549 s, 8 × 8 MiB 0.539 s, 4 × 16 MiB 0.525 s, 2 × 32 MiB
// 0.533 s; in a second run 0.537 / 0.495 / 0.499 s.
inline constexpr IoPieces kReadIoPieces{8, std::uint64_t{8} << 20};
// Writes: pieces lost. Parallel writes into a new file are serialised by
// ext4 while they extend the file (device queue 3–5 deep instead of
// 18–45), and reserving each chunk first (fallocate) costs the
// conversion of its unwritten blocks. Median freeze of 2 GiB: one request
// 0.844 s; 8 × 8 MiB 0.918 s, 4 × 16 MiB 0.933 s, 2 × 32 MiB 0.892 s (all
// reserved); 8 × 8 MiB unreserved 0.969 s against 0.867 s. So a freeze
// writes each chunk as one request unless asked otherwise.
inline constexpr IoPieces kWriteIoPieces = IoPieces::one_request();
// Memory file systems get one request whatever is asked (see
// parallel_file_io.h): on /dev/shm pieces wrote at 0.97 and read at 0.95
// times the speed of one request.

}  // namespace vesk
