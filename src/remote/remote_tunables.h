// How a remote object is read: connections side by side, the size of each
// ranged request, when a silent connection counts as stalled, and how often
// a failed range is tried again.
#pragma once

#include <cstdint>
#include <string>

#include "remote/aws_settings.h"

namespace vesk {

// The defaults: 8 ranges of 8 MiB fill one 64 MiB chunk, all in flight at
// once. Measured with bench/bench_remote.py (1 GiB, nginx and rclone's S3
// server on the loopback, 2 cores shared with other work, load 10 to 14):
// curl itself was best at 4 x 16 MiB on both servers (nginx 1.23 against
// 0.69 GB/s at 8 x 8 MiB, rclone 0.64 against 0.40), and vesk at 4 x 16 MiB
// reached the same ratios to curl as at 8 x 8 MiB (0.53 and 0.86 against
// 0.52 and 0.80): on this machine the cores, not the connections, set the
// pace (a restore costs about 1.1 CPU seconds per GiB where curl into
// /dev/null costs 0.6). Object stores serve some 100 MB/s per connection,
// so the defaults keep 8 connections and S3's suggested 8 MiB ranges for
// real links; VESK_REMOTE_CONNECTIONS and VESK_REMOTE_RANGE_MB change them.
struct RemoteTunables {
  std::uint32_t connections = 8;
  std::uint64_t range_bytes = std::uint64_t{8} << 20;
  std::uint32_t timeout_s = 30;
  std::uint32_t retries = 5;
};

// The defaults, each replaced by its environment variable where that holds
// a positive whole number (VESK_REMOTE_CONNECTIONS, VESK_REMOTE_RANGE_MB,
// VESK_REMOTE_TIMEOUT_S; VESK_REMOTE_RETRIES may be 0). Other values are
// ignored rather than failing a restore over a tuning knob.
RemoteTunables remote_tunables(const EnvLookup& env);

}  // namespace vesk
