#include "remote/remote_tunables.h"

#include <charconv>
#include <optional>

namespace vesk {

namespace {

std::optional<std::uint64_t> whole_number(const EnvLookup& env, const char* name, std::uint64_t min,
                                          std::uint64_t max) {
  const auto text = env(name);
  if (!text) return std::nullopt;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
  if (ec != std::errc{} || end != text->data() + text->size() || v < min || v > max) return std::nullopt;
  return v;
}

}  // namespace

RemoteTunables remote_tunables(const EnvLookup& env) {
  RemoteTunables t;
  if (auto v = whole_number(env, "VESK_REMOTE_CONNECTIONS", 1, 256)) t.connections = static_cast<std::uint32_t>(*v);
  if (auto v = whole_number(env, "VESK_REMOTE_RANGE_MB", 1, 4096)) t.range_bytes = *v << 20;
  if (auto v = whole_number(env, "VESK_REMOTE_TIMEOUT_S", 1, 3600)) t.timeout_s = static_cast<std::uint32_t>(*v);
  if (auto v = whole_number(env, "VESK_REMOTE_RETRIES", 0, 100)) t.retries = static_cast<std::uint32_t>(*v);
  return t;
}

}  // namespace vesk
