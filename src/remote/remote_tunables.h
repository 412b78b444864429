// How a remote object is read: connections side by side, the size of each
// ranged request, when a silent connection counts as stalled, and how often
// a failed range is tried again.
#pragma once

#include <cstdint>
#include <string>

#include "remote/aws_settings.h"

namespace vesk {

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
