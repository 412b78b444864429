// Starting the short-lived helper threads of the pipelines. A thread that
// cannot be started (a process-count or address-space limit) is not a
// failure: the caller does that work itself, only slower.
#pragma once

#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace vesk {

namespace detail {
bool worker_threads_refused();
}  // namespace detail

// A running thread for `fn`, or nothing when none can be started; `fn` has
// not run then, and the caller runs it.
template <typename Fn>
std::optional<std::jthread> try_start_worker(Fn&& fn) {
  if (detail::worker_threads_refused()) return std::nullopt;
  try {
    return std::jthread(std::forward<Fn>(fn));
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

}  // namespace vesk
