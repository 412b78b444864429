// The double-buffered loop of every chunked transfer between a file (or the
// caller's memory) and device regions. Chunk k lives in buffer k % 2 and
// its device copies run on stream k % 2. Each pass queues one chunk's
// device copies, then does the host side of a chunk (its read or its
// write) while a worker runs the checksums of the chunk before, then waits
// for the copies it queued: host, disk and copy engines all work at once.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <optional>
#include <thread>

#include "pipeline/error_wrap.h"
#include "pipeline/stream_pair.h"
#include "pipeline/worker_thread.h"

namespace vesk {

// Which side fills a buffer: the host (a restore reads or copies the bytes,
// then the device takes them) or the device (a freeze copies from the
// device, then the host writes the bytes out).
enum class ChunkFill { Host, Device };

// What a transfer supplies to run_chunk_loop:
//   using Error = ...;                      its error type
//   static constexpr ChunkFill kFill;
//   static constexpr bool kChecksums;       false: no check(), no worker
//   std::expected<void, Error> queue(k);    chunk k's copies on stream k % 2
//   std::expected<void, Error> host(k);     the host side of chunk k
//   std::expected<void, Error> check(k);    the checksums of chunk k
//   [[noreturn]] void check_failed(std::exception_ptr);  a check that
//                                           threw on the worker
// The first error ends the loop; copies already queued stay queued, and
// the caller's stream pair drains them before the buffers go.
template <typename Steps>
std::expected<void, typename Steps::Error> run_chunk_loop(std::uint64_t num_chunks, const StreamPair& streams,
                                                          Steps& steps);

namespace detail {

// The host side of chunk `hosted` on this thread while the worker checks
// chunk `checked`. Both only read what the other reads, or touch buffers
// the other does not: the worker reads one chunk's bytes (as the device
// may at the same time), this thread writes only the other buffer or bytes
// past the checked ones. The join is the only synchronisation. A host
// error comes before a check error; a check that threw comes before both.
// Where no worker can be started, this thread checks after its host step.
template <typename Steps>
std::expected<void, typename Steps::Error> host_beside_check(Steps& steps, std::uint64_t hosted,
                                                             std::uint64_t checked) {
  using Result = std::expected<void, typename Steps::Error>;
  if constexpr (!Steps::kChecksums) {
    return steps.host(hosted);
  } else {
    std::optional<Result> check_result;
    std::exception_ptr failure;
    Result host_result;
    {
      auto work = [&]() noexcept {
        try {
          check_result = steps.check(checked);
        } catch (...) {
          failure = std::current_exception();
        }
      };
      std::optional<std::jthread> worker = try_start_worker(work);
      host_result = steps.host(hosted);
      if (worker) {
        worker->join();
        if (failure) steps.check_failed(failure);
      } else if (host_result) {
        check_result = steps.check(checked);
      }
    }
    if (!host_result) return host_result;
    return *check_result;
  }
}

}  // namespace detail

template <typename Steps>
std::expected<void, typename Steps::Error> run_chunk_loop(std::uint64_t num_chunks, const StreamPair& streams,
                                                          Steps& steps) {
  using Error = typename Steps::Error;
  constexpr bool kDeviceFills = Steps::kFill == ChunkFill::Device;
  const auto sync = [&streams](std::uint64_t chunk) -> std::expected<void, Error> {
    if (auto r = streams.sync(chunk % 2); !r) return std::unexpected(backend_err<Error>(r.error()));
    return {};
  };
  if (num_chunks == 0) return {};

  if constexpr (kDeviceFills) {
    if (auto r = steps.queue(0); !r) return r;
    if (auto r = sync(0); !r) return r;
  } else {
    if (auto r = steps.host(0); !r) return r;
  }
  // A buffer is refilled only after the stream that last used it was waited
  // for: the pass that fills chunk k's buffer (by host or device) follows
  // the pass that waited for chunk k - 2's copies, and a device fill comes
  // only after the host side of chunk k - 2 has returned.
  for (std::uint64_t k = 1; k < num_chunks; ++k) {
    const std::uint64_t queued = kDeviceFills ? k : k - 1;
    const std::uint64_t hosted = kDeviceFills ? k - 1 : k;
    if (auto r = steps.queue(queued); !r) return r;
    if (auto r = detail::host_beside_check(steps, hosted, k - 1); !r) return r;
    if (auto r = sync(queued); !r) return r;
  }

  const std::uint64_t last = num_chunks - 1;
  if constexpr (kDeviceFills) {
    return detail::host_beside_check(steps, last, last);
  } else {
    // The last chunk (or a single one) is checked before its copies are
    // queued; earlier chunks are checked while the next one is filled.
    if constexpr (Steps::kChecksums) {
      if (auto r = steps.check(last); !r) return r;
    }
    if (auto r = steps.queue(last); !r) return r;
    if (auto r = sync(0); !r) return r;
    if (num_chunks >= 2) return sync(1);
    return {};
  }
}

}  // namespace vesk
