// A CUDA runtime for machines without a GPU. Device memory is host memory
// (a device pointer is a host address), and each stream is an in-order
// queue run by a worker thread of its own. A queued copy starts no earlier
// than a configurable delay after it was queued, so code that touches a
// buffer before waiting on the stream that uses it sees wrong bytes here as
// it would on a GPU. It also keeps the books that tests need: live objects,
// calls per function, failure injection, copies from pageable memory, and
// memory released while a queued copy still needed it.
//
// All state sits behind one mutex; only the copies themselves run outside
// it. The happens-before edges through that mutex (queue, complete, wait)
// are exactly the ones a correct caller relies on, so ThreadSanitizer flags
// a caller that reads a buffer without waiting on its stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "standin/standin.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

// Status codes, as the real runtime numbers them.
constexpr cudaError_t kInvalidValue = 1;
constexpr cudaError_t kMemoryAllocation = 2;
constexpr cudaError_t kInvalidMemcpyDirection = 21;
constexpr cudaError_t kInvalidResourceHandle = 400;
constexpr cudaError_t kAlreadyRegistered = 712;
constexpr cudaError_t kNotRegistered = 713;

constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kDeviceAlign = 256;
// Larger requests are refused as out of memory instead of being attempted,
// so a test of a huge allocation cannot exhaust the machine (or trip a
// sanitizer's allocation limit).
constexpr std::size_t kMaxAllocation = std::size_t{1} << 36;
// Fresh page-locked memory has no defined contents; filling it makes code
// that reads a staging buffer before anything was copied into it fail
// reliably instead of by luck.
constexpr int kFreshFill = 0xA5;

struct Op {
  std::uintptr_t dst;
  std::uintptr_t src;
  std::size_t n;
  Clock::time_point ready_at;
};

struct Stream {
  std::deque<Op> queue;  // the front entry may be running right now
  bool destroyed = false;
  bool exited = false;
  std::condition_variable wake;
  std::thread worker;
};

struct PinnedAlloc {
  std::size_t size;
  bool write_combined;
};

struct Injection {
  long at;  // fires on the call with this count
  int status;
};

struct State {
  std::mutex mu;
  std::condition_variable progress;  // a queued copy finished, or a worker exited

  std::map<std::uintptr_t, PinnedAlloc> pinned;
  std::map<std::uintptr_t, std::size_t> registered;
  std::map<std::uintptr_t, std::size_t> device;

  // Every stream whose worker has not been joined yet, destroyed ones that
  // are still draining included. Handle 0 is the default stream.
  std::map<std::uintptr_t, std::shared_ptr<Stream>> streams;
  std::uintptr_t next_handle = 0x5000;
  long live_streams = 0;

  std::map<std::string, long> calls;
  std::map<std::string, std::vector<Injection>> injections;
  std::map<std::string, int> always;
  long pageable_copies = 0;
  long hazards = 0;
  std::chrono::microseconds delay{20};

  // A reset makes every thread's recorded error stale at once.
  std::atomic<std::uint64_t> generation{1};
};

// Never destroyed: page-locked buffers held by other objects with static
// storage may be freed after this library's own statics would be gone.
State& state() {
  union Holder {
    State s;
    Holder() { new (&s) State(); }
    ~Holder() {}
  };
  static Holder holder;
  return holder.s;
}

struct LastError {
  cudaError_t code = 0;
  std::uint64_t generation = 0;
};
thread_local LastError t_last_error;

cudaError_t fail(cudaError_t code) {
  t_last_error = {code, state().generation.load(std::memory_order_relaxed)};
  return code;
}

// Counts the call and returns the status injected for it, 0 when none.
int enter(const char* name) {
  State& s = state();
  std::lock_guard lock(s.mu);
  long n = ++s.calls[name];
  if (auto it = s.injections.find(name); it != s.injections.end()) {
    auto& list = it->second;
    for (auto inj = list.begin(); inj != list.end(); ++inj) {
      if (inj->at == n) {
        int status = inj->status;
        list.erase(inj);
        return status;
      }
    }
  }
  if (auto it = s.always.find(name); it != s.always.end()) return it->second;
  return 0;
}

bool overlaps(std::uintptr_t a, std::size_t an, std::uintptr_t b, std::size_t bn) {
  return an > 0 && bn > 0 && a < b + bn && b < a + an;
}

// Whether [p, p + n) lies inside one page-locked allocation or registration.
bool page_locked(const State& s, std::uintptr_t p, std::size_t n) {
  auto inside = [&](const auto& map, auto size_of) {
    auto it = map.upper_bound(p);
    if (it == map.begin()) return false;
    --it;
    std::size_t size = size_of(it->second);
    return p - it->first <= size && n <= size - (p - it->first);
  };
  return inside(s.pinned, [](const PinnedAlloc& a) { return a.size; }) ||
         inside(s.registered, [](std::size_t size) { return size; });
}

// Whether a copy that has not finished yet reads or writes [p, p + n).
bool pending_touch(const State& s, std::uintptr_t p, std::size_t n) {
  for (const auto& [handle, stream] : s.streams) {
    for (const Op& op : stream->queue) {
      if (overlaps(op.dst, op.n, p, n) || overlaps(op.src, op.n, p, n)) return true;
    }
  }
  return false;
}

bool all_idle(const State& s) {
  for (const auto& [handle, stream] : s.streams) {
    if (!stream->queue.empty()) return false;
  }
  return true;
}

void run_worker(Stream& st) {
  State& s = state();
  std::unique_lock lock(s.mu);
  for (;;) {
    st.wake.wait(lock, [&] { return !st.queue.empty() || st.destroyed; });
    if (st.queue.empty()) break;  // destroyed and drained
    Op op = st.queue.front();
    lock.unlock();
    std::this_thread::sleep_until(op.ready_at);
    // A zero-length copy may carry null pointers, which memmove must not see.
    if (op.n > 0) std::memmove(reinterpret_cast<void*>(op.dst), reinterpret_cast<const void*>(op.src), op.n);
    lock.lock();
    st.queue.pop_front();
    s.progress.notify_all();
  }
  st.exited = true;
  s.progress.notify_all();
}

std::shared_ptr<Stream> start_stream(State& s, std::uintptr_t handle) {
  auto st = std::make_shared<Stream>();
  st->worker = std::thread(run_worker, std::ref(*st));
  s.streams.emplace(handle, st);
  return st;
}

// The stream behind a handle, creating the default stream on first use;
// null for a handle that is unknown or already destroyed.
std::shared_ptr<Stream> find_stream(State& s, cudaStream_t handle) {
  auto key = reinterpret_cast<std::uintptr_t>(handle);
  auto it = s.streams.find(key);
  if (it != s.streams.end()) return it->second->destroyed ? nullptr : it->second;
  if (key == 0) return start_stream(s, 0);
  return nullptr;
}

// Joins the workers of destroyed streams that have drained. Joining happens
// outside the lock; an exited worker no longer needs it anyway.
void reap() {
  State& s = state();
  std::vector<std::shared_ptr<Stream>> done;
  {
    std::lock_guard lock(s.mu);
    for (auto it = s.streams.begin(); it != s.streams.end();) {
      if (it->second->exited) {
        done.push_back(std::move(it->second));
        it = s.streams.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& st : done) st->worker.join();
}

void wait_all_idle(State& s, std::unique_lock<std::mutex>& lock) {
  s.progress.wait(lock, [&] { return all_idle(s); });
}

cudaError_t alloc_page_locked(const char* name, void** ptr, std::size_t size, unsigned int flags) {
  if (int injected = enter(name)) return fail(injected);
  if (ptr == nullptr || flags > 0xF) return fail(kInvalidValue);
  const bool write_combined = (flags & cudaHostAllocWriteCombined) != 0;
  if (size == 0) {
    *ptr = nullptr;
    return cudaSuccess;
  }
  if (size > kMaxAllocation) return fail(kMemoryAllocation);
  void* p = nullptr;
  if (posix_memalign(&p, kPageSize, size) != 0 || p == nullptr) return fail(kMemoryAllocation);
  std::memset(p, kFreshFill, size);
  State& s = state();
  {
    std::lock_guard lock(s.mu);
    s.pinned.emplace(reinterpret_cast<std::uintptr_t>(p), PinnedAlloc{size, write_combined});
  }
  *ptr = p;
  return cudaSuccess;
}

// Shared by the synchronous calls: the real runtime orders them after all
// work queued on blocking streams, which every stream here is.
void device_synchronize() {
  State& s = state();
  std::unique_lock lock(s.mu);
  wait_all_idle(s, lock);
}

// Joins every worker when the library goes away, so no thread outlives it.
__attribute__((destructor)) void shut_down_workers() {
  State& s = state();
  std::vector<std::shared_ptr<Stream>> all;
  {
    std::lock_guard lock(s.mu);
    for (auto& [handle, st] : s.streams) {
      st->destroyed = true;
      st->wake.notify_all();
      all.push_back(st);
    }
    s.streams.clear();
  }
  for (auto& st : all) st->worker.join();
}

}  // namespace

// ---- the runtime calls ----

STANDIN_EXPORT cudaError_t cudaMallocHost(void** ptr, std::size_t size) {
  return alloc_page_locked("cudaMallocHost", ptr, size, 0);
}

STANDIN_EXPORT cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned int flags) {
  return alloc_page_locked("cudaHostAlloc", ptr, size, flags);
}

STANDIN_EXPORT cudaError_t cudaFreeHost(void* ptr) {
  if (int injected = enter("cudaFreeHost")) return fail(injected);
  if (ptr == nullptr) return cudaSuccess;
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  {
    std::unique_lock lock(s.mu);
    auto it = s.pinned.find(p);
    if (it == s.pinned.end()) return fail(kInvalidValue);
    std::size_t size = it->second.size;
    s.pinned.erase(it);
    if (pending_touch(s, p, size)) {
      ++s.hazards;
      s.progress.wait(lock, [&] { return !pending_touch(s, p, size); });
    }
  }
  std::free(ptr);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags) {
  if (int injected = enter("cudaHostRegister")) return fail(injected);
  if (ptr == nullptr || size == 0 || flags > 0xF) return fail(kInvalidValue);
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  std::lock_guard lock(s.mu);
  for (const auto& [start, len] : s.registered) {
    if (overlaps(start, len, p, size)) return fail(kAlreadyRegistered);
  }
  s.registered.emplace(p, size);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaHostUnregister(void* ptr) {
  if (int injected = enter("cudaHostUnregister")) return fail(injected);
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  std::unique_lock lock(s.mu);
  auto it = s.registered.find(p);
  if (it == s.registered.end()) return fail(kNotRegistered);
  std::size_t size = it->second;
  s.registered.erase(it);
  if (pending_touch(s, p, size)) {
    ++s.hazards;
    s.progress.wait(lock, [&] { return !pending_touch(s, p, size); });
  }
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaGetLastError(void) {
  int injected = enter("cudaGetLastError");
  LastError last = t_last_error;
  t_last_error = {};
  if (injected) return injected;
  return last.generation == state().generation.load(std::memory_order_relaxed) ? last.code : cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaStreamCreate(cudaStream_t* stream) {
  if (int injected = enter("cudaStreamCreate")) return fail(injected);
  if (stream == nullptr) return fail(kInvalidValue);
  reap();
  State& s = state();
  std::lock_guard lock(s.mu);
  std::uintptr_t handle = s.next_handle;
  s.next_handle += 0x10;  // handles are never reused, so a stale one is caught
  start_stream(s, handle);
  ++s.live_streams;
  *stream = reinterpret_cast<cudaStream_t>(handle);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (int injected = enter("cudaStreamDestroy")) return fail(injected);
  State& s = state();
  {
    std::lock_guard lock(s.mu);
    auto key = reinterpret_cast<std::uintptr_t>(stream);
    auto it = s.streams.find(key);
    if (key == 0 || it == s.streams.end() || it->second->destroyed) return fail(kInvalidResourceHandle);
    // Returns at once; the worker still runs what was queued, then exits.
    it->second->destroyed = true;
    it->second->wake.notify_all();
    --s.live_streams;
  }
  reap();
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  int injected = enter("cudaStreamSynchronize");
  State& s = state();
  {
    std::unique_lock lock(s.mu);
    auto st = find_stream(s, stream);
    if (st == nullptr) return fail(injected ? injected : kInvalidResourceHandle);
    // An injected failure stands for an error of the queued work, which is
    // reported once that work has ended.
    s.progress.wait(lock, [&] { return st->queue.empty(); });
  }
  if (injected) return fail(injected);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                                           cudaStream_t stream) {
  if (int injected = enter("cudaMemcpyAsync")) return fail(injected);
  if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 4) return fail(kInvalidMemcpyDirection);
  if (count > 0 && (dst == nullptr || src == nullptr)) return fail(kInvalidValue);
  State& s = state();
  std::lock_guard lock(s.mu);
  auto st = find_stream(s, stream);
  if (st == nullptr) return fail(kInvalidResourceHandle);
  const void* host = kind == cudaMemcpyHostToDevice ? src : kind == cudaMemcpyDeviceToHost ? dst : nullptr;
  if (host != nullptr && count > 0 && !page_locked(s, reinterpret_cast<std::uintptr_t>(host), count)) {
    ++s.pageable_copies;
  }
  st->queue.push_back(Op{reinterpret_cast<std::uintptr_t>(dst), reinterpret_cast<std::uintptr_t>(src), count,
                         Clock::now() + s.delay});
  st->wake.notify_one();
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMalloc(void** ptr, std::size_t size) {
  if (int injected = enter("cudaMalloc")) return fail(injected);
  if (ptr == nullptr) return fail(kInvalidValue);
  if (size == 0) {
    *ptr = nullptr;
    return cudaSuccess;
  }
  if (size > kMaxAllocation) return fail(kMemoryAllocation);
  void* p = nullptr;
  if (posix_memalign(&p, kDeviceAlign, size) != 0 || p == nullptr) return fail(kMemoryAllocation);
  std::memset(p, kFreshFill, size);
  State& s = state();
  {
    std::lock_guard lock(s.mu);
    s.device.emplace(reinterpret_cast<std::uintptr_t>(p), size);
  }
  *ptr = p;
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaFree(void* ptr) {
  if (int injected = enter("cudaFree")) return fail(injected);
  if (ptr == nullptr) return cudaSuccess;
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  {
    std::unique_lock lock(s.mu);
    auto it = s.device.find(p);
    if (it == s.device.end()) return fail(kInvalidValue);
    std::size_t size = it->second;
    s.device.erase(it);
    // Like the real runtime, freeing device memory waits for the work that
    // may still use it.
    s.progress.wait(lock, [&] { return !pending_touch(s, p, size); });
  }
  std::free(ptr);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (int injected = enter("cudaMemcpy")) return fail(injected);
  if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 4) return fail(kInvalidMemcpyDirection);
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return fail(kInvalidValue);
  device_synchronize();
  std::memmove(dst, src, count);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMemset(void* ptr, int value, std::size_t count) {
  if (int injected = enter("cudaMemset")) return fail(injected);
  if (count == 0) return cudaSuccess;
  if (ptr == nullptr) return fail(kInvalidValue);
  device_synchronize();
  std::memset(ptr, value, count);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaDeviceSynchronize(void) {
  if (int injected = enter("cudaDeviceSynchronize")) return fail(injected);
  device_synchronize();
  reap();
  return cudaSuccess;
}

// ---- control ----

STANDIN_EXPORT void standin_reset(void) {
  reap();
  State& s = state();
  std::lock_guard lock(s.mu);
  s.calls.clear();
  s.injections.clear();
  s.always.clear();
  s.pageable_copies = 0;
  s.hazards = 0;
  s.generation.fetch_add(1, std::memory_order_relaxed);
}

STANDIN_EXPORT void standin_fail(const char* call, int nth, int status) {
  if (call == nullptr || nth < 0) return;
  State& s = state();
  std::lock_guard lock(s.mu);
  if (nth == 0) {
    s.always[call] = status;
  } else {
    s.injections[call].push_back(Injection{s.calls[call] + nth, status});
  }
}

STANDIN_EXPORT long standin_live(const char* what) {
  if (what == nullptr) return -1;
  State& s = state();
  std::lock_guard lock(s.mu);
  const std::string kind = what;
  if (kind == "pinned") return static_cast<long>(s.pinned.size());
  if (kind == "pinned_wc") {
    long n = 0;
    for (const auto& [p, a] : s.pinned) n += a.write_combined ? 1 : 0;
    return n;
  }
  if (kind == "registered") return static_cast<long>(s.registered.size());
  if (kind == "streams") return s.live_streams;
  if (kind == "device") return static_cast<long>(s.device.size());
  return -1;
}

STANDIN_EXPORT long standin_calls(const char* call) {
  if (call == nullptr) return 0;
  State& s = state();
  std::lock_guard lock(s.mu);
  auto it = s.calls.find(call);
  return it == s.calls.end() ? 0 : it->second;
}

STANDIN_EXPORT long standin_pageable_copies(void) {
  State& s = state();
  std::lock_guard lock(s.mu);
  return s.pageable_copies;
}

STANDIN_EXPORT void standin_set_delay_us(unsigned us) {
  State& s = state();
  std::lock_guard lock(s.mu);
  s.delay = std::chrono::microseconds(us);
}

STANDIN_EXPORT long standin_hazards(void) {
  State& s = state();
  std::lock_guard lock(s.mu);
  return s.hazards;
}
