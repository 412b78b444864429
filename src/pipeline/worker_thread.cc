#include "pipeline/worker_thread.h"

#include <atomic>

namespace vesk {

namespace {
std::atomic<bool> g_refuse{false};
}  // namespace

bool detail::worker_threads_refused() { return g_refuse.load(std::memory_order_relaxed); }

void set_refuse_worker_threads_for_testing(bool refuse) { g_refuse.store(refuse, std::memory_order_relaxed); }

}  // namespace vesk
