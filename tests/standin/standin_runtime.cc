// A CUDA runtime for machines without a GPU. Device memory is host memory
// (a device pointer is a host address), and each stream is an in-order
// queue run by a worker thread of its own. A queued copy starts no earlier
// than a configurable delay after it was queued, so code that touches a
// buffer before waiting on the stream that uses it sees wrong bytes here as
// it would on a GPU. It also keeps the books that tests need: live objects,
// calls per function, failure injection, copies from pageable memory, and
// memory released while a queued copy still needed it.
//
// It is built twice from this file: as libcudart.so.12 and, with
// STANDIN_CUDA_MAJOR 13, as libcudart.so.13, whose one difference a caller
// can see is the larger structure cudaPointerGetAttributes fills in. It
// also plays the driver (the cu* calls below), handed out through the
// runtime's driver entry-point lookup, and models contexts: each thread
// has a current context or none, and a call that needs one on a thread
// with none creates (once) and binds the primary context of the thread's
// selected device, device 0 unless cudaSetDevice chose another.
//
// All state sits behind one mutex; only the copies themselves run outside
// it. The happens-before edges through that mutex (queue, complete, wait)
// are exactly the ones a correct caller relies on, so ThreadSanitizer flags
// a caller that reads a buffer without waiting on its stream.
#include <fcntl.h>
#include <unistd.h>

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
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <sys/mman.h>

#include "standin/standin.h"

#ifndef STANDIN_CUDA_MAJOR
#define STANDIN_CUDA_MAJOR 12
#endif

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

// Status codes, as the real runtime numbers them.
constexpr cudaError_t kInvalidValue = 1;
constexpr cudaError_t kMemoryAllocation = 2;
constexpr cudaError_t kInvalidDevice = 101;
constexpr cudaError_t kInvalidMemcpyDirection = 21;
constexpr cudaError_t kNotSupported = 801;
constexpr cudaError_t kInvalidResourceHandle = 400;
constexpr cudaError_t kAlreadyRegistered = 712;
constexpr int kDriverInvalidValue = 1;
constexpr int kDriverInvalidContext = 201;
constexpr cudaError_t kNotRegistered = 713;

constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kDeviceAlign = 256;
// Two devices, so that code which ignores the caller's device is caught.
constexpr int kDeviceCount = 2;
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
  int device = -1;  // the device current at creation; -1 for the default stream
  std::deque<Op> queue;  // the front entry may be running right now
  bool destroyed = false;
  bool exited = false;
  std::condition_variable wake;
  std::thread worker;
};

struct PinnedAlloc {
  std::size_t size;
  bool write_combined;
  void* base;  // what posix_memalign returned; the pointer handed out may lie past it
};

struct Registration {
  std::size_t size;
  unsigned flags;
};

struct DeviceAlloc {
  std::size_t size;
  int device;
  // The allocations mapped back to back into this range, for a range of
  // several (standin_map_allocations); empty: one allocation, the range.
  std::vector<std::size_t> mappings;
  bool from_arena = false;  // handed out by the adjacent-allocation arena, never freed
};

// The layout each flavour fills in: CUDA 12's, or CUDA 13's with its
// reserved tail, all of whose bytes are written.
struct PointerAttributes12 {
  int type;
  int device;
  void* devicePointer;
  void* hostPointer;
};
struct PointerAttributes13 {
  PointerAttributes12 head;
  long reserved[8];
};
using PointerAttributesOut = std::conditional_t<STANDIN_CUDA_MAJOR >= 13, PointerAttributes13, PointerAttributes12>;

// Address space that adjacent allocations are carved from, one after the
// other; reserved once, touched only where handed out.
constexpr std::size_t kArenaBytes = std::size_t{1} << 34;

struct Injection {
  long at;  // fires on the call with this count
  int status;
};

struct State {
  std::mutex mu;
  std::condition_variable progress;  // a queued copy finished, or a worker exited

  std::map<std::uintptr_t, PinnedAlloc> pinned;
  std::map<std::uintptr_t, Registration> registered;
  std::map<std::uintptr_t, DeviceAlloc> device;

  // Every stream whose worker has not been joined yet, destroyed ones that
  // are still draining included. Handle 0 is the default stream.
  std::map<std::uintptr_t, std::shared_ptr<Stream>> streams;
  std::uintptr_t next_handle = 0x5000;
  long live_streams = 0;

  // Looked up by the caller's text without building a string: a call that
  // is made once per region must stay cheap.
  std::map<std::string, long, std::less<>> calls;
  std::map<std::string, std::vector<Injection>, std::less<>> injections;
  std::map<std::string, int, std::less<>> always;
  long pageable_copies = 0;
  long hazards = 0;
  std::chrono::microseconds delay{20};
  long last_register_flags = -1;
  // Switches that a reset turns back to the defaults.
  bool readonly_register_supported = true;
  std::size_t pinned_alignment = kPageSize;
  bool adjacent_allocations = false;

  // The arena of adjacent allocations: its base and what is handed out.
  std::uint8_t* arena = nullptr;
  std::size_t arena_used = 0;

  // Primary contexts created since the reset, per device; a reset forgets
  // them all, as if the process had just started.
  long contexts_created[kDeviceCount] = {};
  bool context_exists[kDeviceCount] = {};

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
// The device cudaSetDevice last selected on this thread (0 by default),
// and the context current on it: a device's primary context, or none
// (device -1, or bound before the last reset).
thread_local int t_selected_device = 0;
struct BoundContext {
  int device = -1;
  std::uint64_t generation = 0;
};
thread_local BoundContext t_context;

cudaError_t fail(cudaError_t code) {
  t_last_error = {code, state().generation.load(std::memory_order_relaxed)};
  return code;
}

// Counts the call and returns the status injected for it, 0 when none.
// The caller holds the lock. A call made once per region passes a slot
// that remembers its counter (map entries are never erased, only zeroed).
int enter_locked(State& s, const char* name, long** slot = nullptr) {
  const std::string_view key = name;
  long* count = slot != nullptr ? *slot : nullptr;
  if (count == nullptr) {
    auto it = s.calls.find(key);
    if (it == s.calls.end()) it = s.calls.emplace(std::string(key), 0).first;
    count = &it->second;
    if (slot != nullptr) *slot = count;
  }
  long n = ++*count;
  if (s.injections.empty() && s.always.empty()) return 0;
  if (auto it = s.injections.find(key); it != s.injections.end()) {
    auto& list = it->second;
    for (auto inj = list.begin(); inj != list.end(); ++inj) {
      if (inj->at == n) {
        int status = inj->status;
        list.erase(inj);
        return status;
      }
    }
  }
  if (auto it = s.always.find(key); it != s.always.end()) return it->second;
  return 0;
}

int enter(const char* name) {
  State& s = state();
  std::lock_guard lock(s.mu);
  return enter_locked(s, name);
}

// The device of the context current on this thread, -1 for none.
int bound_device() {
  return t_context.generation == state().generation.load(std::memory_order_relaxed) ? t_context.device : -1;
}

// Makes `device`'s primary context current on this thread, creating it
// when the process has none yet. The caller holds the lock.
void bind_context_locked(State& s, int device) {
  if (!s.context_exists[device]) {
    s.context_exists[device] = true;
    ++s.contexts_created[device];
  }
  t_context = {device, s.generation.load(std::memory_order_relaxed)};
}

// What every call that works on a device does first: with no context
// current, the runtime creates and binds the selected device's; the
// device the call then acts on is returned.
int need_context_locked(State& s) {
  if (int bound = bound_device(); bound >= 0) return bound;
  bind_context_locked(s, t_selected_device);
  return t_selected_device;
}

int need_context() {
  State& s = state();
  std::lock_guard lock(s.mu);
  return need_context_locked(s);
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
         inside(s.registered, [](const Registration& r) { return r.size; });
}

// The entry of `map` (keyed by start address) whose range holds p.
template <typename Map>
auto containing(Map& map, std::uintptr_t p, std::size_t (*size_of)(const typename Map::mapped_type&)) {
  auto it = map.upper_bound(p);
  if (it == map.begin()) return map.end();
  --it;
  return p - it->first < size_of(it->second) ? it : map.end();
}

std::size_t device_size(const DeviceAlloc& a) { return a.size; }

// The real runtime copies within one allocation (or one range of mapped
// allocations) only: a device range that starts in one and ends past it,
// or starts outside every one and reaches into one, is refused. Memory
// the stand-in did not hand out is left alone, as tests use it freely.
bool device_range_allowed(State& s, std::uintptr_t p, std::size_t n) {
  if (n == 0) return true;
  auto it = containing(s.device, p, device_size);
  if (it != s.device.end()) return n <= it->second.size - (p - it->first);
  auto next = s.device.upper_bound(p);
  return next == s.device.end() || next->first >= p + n;
}
std::size_t pinned_size(const PinnedAlloc& a) { return a.size; }
std::size_t registered_size(const Registration& r) { return r.size; }

// Whether every page of [p, p + n) is mapped writable, read from
// /proc/self/maps as the kernel reports it now. Unmapped holes count as not
// writable, as the real runtime refuses them too.
bool range_writable(std::uintptr_t p, std::size_t n) {
  int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got <= 0) break;
    text.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  std::uintptr_t covered = p;
  const std::uintptr_t end = p + n;
  std::size_t pos = 0;
  while (pos < text.size() && covered < end) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    char* rest = nullptr;
    const std::uintptr_t lo = std::strtoull(text.c_str() + pos, &rest, 16);
    const std::uintptr_t hi = std::strtoull(rest + 1, &rest, 16);
    const bool writable = rest[1] != '\0' && rest[2] == 'w';
    pos = eol + 1;
    if (hi <= covered) continue;
    if (lo > covered || !writable) return false;
    covered = hi;
  }
  return covered >= end;
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

std::shared_ptr<Stream> start_stream(State& s, std::uintptr_t handle, int device) {
  auto st = std::make_shared<Stream>();
  st->device = device;
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
  if (key == 0) return start_stream(s, 0, -1);
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

// The next `size` bytes of the arena, right after the block before; null
// when the arena is spent. The caller holds the lock.
void* arena_take_locked(State& s, std::size_t size) {
  if (s.arena == nullptr) {
    void* base = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    s.arena = static_cast<std::uint8_t*>(base);
  }
  // Blocks keep the runtime's alignment; sizes that are multiples of it
  // (every test's) leave no gap between neighbours.
  const std::size_t at = (s.arena_used + kDeviceAlign - 1) / kDeviceAlign * kDeviceAlign;
  if (at > kArenaBytes || size > kArenaBytes - at) return nullptr;
  s.arena_used = at + size;
  return s.arena + at;
}

cudaError_t alloc_page_locked(const char* name, void** ptr, std::size_t size, unsigned int flags) {
  if (int injected = enter(name)) return fail(injected);
  need_context();
  if (ptr == nullptr || flags > 0xF) return fail(kInvalidValue);
  const bool write_combined = (flags & cudaHostAllocWriteCombined) != 0;
  if (size == 0) {
    *ptr = nullptr;
    return cudaSuccess;
  }
  if (size > kMaxAllocation) return fail(kMemoryAllocation);
  State& s = state();
  std::size_t align = kPageSize;
  {
    std::lock_guard lock(s.mu);
    align = s.pinned_alignment;
  }
  // A smaller alignment is made exact: the block starts `align` bytes into
  // a page, so it is aligned to `align` and to nothing larger.
  const std::size_t skew = align < kPageSize ? align : 0;
  void* base = nullptr;
  if (posix_memalign(&base, kPageSize, size + skew) != 0 || base == nullptr) return fail(kMemoryAllocation);
  void* p = static_cast<std::uint8_t*>(base) + skew;
  std::memset(p, kFreshFill, size);
  {
    std::lock_guard lock(s.mu);
    s.pinned.emplace(reinterpret_cast<std::uintptr_t>(p), PinnedAlloc{size, write_combined, base});
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
  need_context();
  if (ptr == nullptr) return cudaSuccess;
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  void* base = nullptr;
  {
    std::unique_lock lock(s.mu);
    auto it = s.pinned.find(p);
    if (it == s.pinned.end()) return fail(kInvalidValue);
    std::size_t size = it->second.size;
    base = it->second.base;
    s.pinned.erase(it);
    if (pending_touch(s, p, size)) {
      ++s.hazards;
      s.progress.wait(lock, [&] { return !pending_touch(s, p, size); });
    }
  }
  std::free(base);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags) {
  if (int injected = enter("cudaHostRegister")) return fail(injected);
  need_context();
  if (ptr == nullptr || size == 0 || flags > 0xF) return fail(kInvalidValue);
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  // Like the real runtime on x86 hosts: pages the process cannot write are
  // only registered read-only, which some devices cannot do.
  const bool read_only = (flags & cudaHostRegisterReadOnly) != 0;
  if (!read_only && !range_writable(p, size)) return fail(kInvalidValue);
  std::lock_guard lock(s.mu);
  if (read_only && !s.readonly_register_supported) return fail(kNotSupported);
  for (const auto& [start, reg] : s.registered) {
    if (overlaps(start, reg.size, p, size)) return fail(kAlreadyRegistered);
  }
  s.registered.emplace(p, Registration{size, flags});
  s.last_register_flags = flags;
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaHostUnregister(void* ptr) {
  if (int injected = enter("cudaHostUnregister")) return fail(injected);
  need_context();
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  std::unique_lock lock(s.mu);
  auto it = s.registered.find(p);
  if (it == s.registered.end()) return fail(kNotRegistered);
  std::size_t size = it->second.size;
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
  const int device = need_context_locked(s);
  std::uintptr_t handle = s.next_handle;
  s.next_handle += 0x10;  // handles are never reused, so a stale one is caught
  start_stream(s, handle, device);
  ++s.live_streams;
  *stream = reinterpret_cast<cudaStream_t>(handle);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (int injected = enter("cudaStreamDestroy")) return fail(injected);
  State& s = state();
  {
    std::lock_guard lock(s.mu);
    need_context_locked(s);
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
    need_context_locked(s);
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
  const int current = need_context_locked(s);
  auto st = find_stream(s, stream);
  if (st == nullptr) return fail(kInvalidResourceHandle);
  const void* host = kind == cudaMemcpyHostToDevice ? src : kind == cudaMemcpyDeviceToHost ? dst : nullptr;
  if (host != nullptr && count > 0 && !page_locked(s, reinterpret_cast<std::uintptr_t>(host), count)) {
    ++s.pageable_copies;
  }
  // The device side must belong to the stream's device; the default
  // stream belongs to the caller's current device.
  const void* dev = kind == cudaMemcpyHostToDevice ? dst : kind == cudaMemcpyDeviceToHost ? src : nullptr;
  if (dev != nullptr && !device_range_allowed(s, reinterpret_cast<std::uintptr_t>(dev), count)) {
    return fail(kInvalidValue);
  }
  if (dev != nullptr && count > 0) {
    auto owner = containing(s.device, reinterpret_cast<std::uintptr_t>(dev), device_size);
    const int stream_device = st->device >= 0 ? st->device : current;
    if (owner != s.device.end() && owner->second.device != stream_device) ++s.hazards;
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
  State& s = state();
  void* p = nullptr;
  {
    std::lock_guard lock(s.mu);
    const int device = need_context_locked(s);
    if (s.adjacent_allocations) {
      p = arena_take_locked(s, size);
      if (p == nullptr) return fail(kMemoryAllocation);
      s.device.emplace(reinterpret_cast<std::uintptr_t>(p), DeviceAlloc{size, device, {}, true});
    } else {
      if (posix_memalign(&p, kDeviceAlign, size) != 0 || p == nullptr) return fail(kMemoryAllocation);
      s.device.emplace(reinterpret_cast<std::uintptr_t>(p), DeviceAlloc{size, device, {}, false});
    }
  }
  std::memset(p, kFreshFill, size);
  *ptr = p;
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaFree(void* ptr) {
  if (int injected = enter("cudaFree")) return fail(injected);
  need_context();
  if (ptr == nullptr) return cudaSuccess;
  State& s = state();
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  {
    std::unique_lock lock(s.mu);
    auto it = s.device.find(p);
    if (it == s.device.end()) return fail(kInvalidValue);
    std::size_t size = it->second.size;
    const bool from_arena = it->second.from_arena;
    s.device.erase(it);
    // Like the real runtime, freeing device memory waits for the work that
    // may still use it.
    s.progress.wait(lock, [&] { return !pending_touch(s, p, size); });
    if (from_arena) return cudaSuccess;  // arena space is not reused
  }
  std::free(ptr);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (int injected = enter("cudaMemcpy")) return fail(injected);
  need_context();
  if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 4) return fail(kInvalidMemcpyDirection);
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return fail(kInvalidValue);
  {
    State& s = state();
    std::lock_guard lock(s.mu);
    const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if ((dst_device && !device_range_allowed(s, reinterpret_cast<std::uintptr_t>(dst), count)) ||
        (src_device && !device_range_allowed(s, reinterpret_cast<std::uintptr_t>(src), count))) {
      return fail(kInvalidValue);
    }
  }
  device_synchronize();
  std::memmove(dst, src, count);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaMemset(void* ptr, int value, std::size_t count) {
  if (int injected = enter("cudaMemset")) return fail(injected);
  need_context();
  if (count == 0) return cudaSuccess;
  if (ptr == nullptr) return fail(kInvalidValue);
  device_synchronize();
  std::memset(ptr, value, count);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaDeviceSynchronize(void) {
  if (int injected = enter("cudaDeviceSynchronize")) return fail(injected);
  need_context();
  device_synchronize();
  reap();
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaGetDeviceCount(int* count) {
  if (int injected = enter("cudaGetDeviceCount")) return fail(injected);
  if (count == nullptr) return fail(kInvalidValue);
  *count = kDeviceCount;
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaGetDevice(int* device) {
  if (int injected = enter("cudaGetDevice")) return fail(injected);
  if (device == nullptr) return fail(kInvalidValue);
  // Needs no context: the bound context's device, else the selection.
  const int bound = bound_device();
  *device = bound >= 0 ? bound : t_selected_device;
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaSetDevice(int device) {
  if (int injected = enter("cudaSetDevice")) return fail(injected);
  if (device < 0 || device >= kDeviceCount) return fail(kInvalidDevice);
  // Since CUDA 12.0 the selected device's primary context is created and
  // made current at once.
  t_selected_device = device;
  State& s = state();
  std::lock_guard lock(s.mu);
  bind_context_locked(s, device);
  return cudaSuccess;
}

// Answers from the allocation tables, as the real runtime does under
// unified addressing: memory it does not know is "unregistered" host
// memory, a success all the same.
// One lock for the count and the lookup: the module asks once per region.
STANDIN_EXPORT cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr) {
  State& s = state();
  std::unique_lock lock(s.mu);
  static long* counter = nullptr;  // written under the lock
  if (int injected = enter_locked(s, "cudaPointerGetAttributes", &counter)) {
    lock.unlock();
    return fail(injected);
  }
  const int current = need_context_locked(s);
  if (attributes == nullptr) {
    lock.unlock();
    return fail(kInvalidValue);
  }
  auto p = reinterpret_cast<std::uintptr_t>(ptr);
  // Every byte of this flavour's layout is written, the reserved tail of
  // CUDA 13's included, as the real runtime does.
  PointerAttributesOut out{};
  PointerAttributes12& a = reinterpret_cast<PointerAttributes12&>(out);
  a.device = current;
  if (auto it = containing(s.device, p, device_size); it != s.device.end()) {
    a.type = cudaMemoryTypeDevice;
    a.device = it->second.device;
    a.devicePointer = const_cast<void*>(ptr);
  } else if (containing(s.pinned, p, pinned_size) != s.pinned.end() ||
             containing(s.registered, p, registered_size) != s.registered.end()) {
    a.type = cudaMemoryTypeHost;
    a.devicePointer = const_cast<void*>(ptr);
    a.hostPointer = const_cast<void*>(ptr);
  } else {
    a.type = cudaMemoryTypeUnregistered;
  }
  std::memcpy(static_cast<void*>(attributes), &out, sizeof out);
  return cudaSuccess;
}

STANDIN_EXPORT cudaError_t cudaRuntimeGetVersion(int* version) {
  if (int injected = enter("cudaRuntimeGetVersion")) return fail(injected);
  if (version == nullptr) return fail(kInvalidValue);
  *version = STANDIN_CUDA_MAJOR >= 13 ? 13000 : 12080;
  return cudaSuccess;
}

// ---- the driver, as the runtime's entry-point lookup hands it out ----

namespace {

CUcontext context_handle(int device) { return reinterpret_cast<CUcontext>(std::uintptr_t{0xC000} + device); }

// Writes one attribute of what p addresses; false for an attribute the
// stand-in does not know. The caller holds the lock.
bool write_attribute(State& s, CUpointer_attribute attribute, void* data, std::uintptr_t p) {
  auto dev = containing(s.device, p, device_size);
  const bool is_device = dev != s.device.end();
  const bool is_host = !is_device && (containing(s.pinned, p, pinned_size) != s.pinned.end() ||
                                      containing(s.registered, p, registered_size) != s.registered.end());
  // The range: the allocation (or the whole range of mapped ones); the
  // mapping: the one allocation inside it that holds p.
  std::uintptr_t range_start = 0, mapping_start = 0;
  std::size_t range_size = 0, mapping_size = 0;
  if (is_device) {
    range_start = dev->first;
    range_size = dev->second.size;
    mapping_start = range_start;
    mapping_size = range_size;
    for (std::size_t piece : dev->second.mappings) {
      if (p < mapping_start + piece) {
        mapping_size = piece;
        break;
      }
      mapping_start += piece;
    }
  }
  auto put = [data](auto value) { std::memcpy(data, &value, sizeof value); };
  switch (attribute) {
    case CU_POINTER_ATTRIBUTE_MEMORY_TYPE:
      put(static_cast<unsigned>(is_device ? CU_MEMORYTYPE_DEVICE : is_host ? CU_MEMORYTYPE_HOST : 0));
      return true;
    case CU_POINTER_ATTRIBUTE_IS_MANAGED:
      put(0u);
      return true;
    case CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL:
      put(is_device ? dev->second.device : 0);
      return true;
    case CU_POINTER_ATTRIBUTE_RANGE_START_ADDR:
      put(static_cast<CUdeviceptr>(range_start));
      return true;
    case CU_POINTER_ATTRIBUTE_RANGE_SIZE:
      put(range_size);
      return true;
    case CU_POINTER_ATTRIBUTE_MAPPED:
      put(is_device ? 1u : 0u);
      return true;
    case CU_POINTER_ATTRIBUTE_MAPPING_BASE_ADDR:
      put(reinterpret_cast<void*>(mapping_start));
      return true;
    case CU_POINTER_ATTRIBUTE_MAPPING_SIZE:
      put(mapping_size);
      return true;
    default:
      return false;
  }
}

}  // namespace

// Needs no context. Memory it does not know gets null answers and success.
STANDIN_EXPORT CUresult cuPointerGetAttributes(unsigned int numAttributes, CUpointer_attribute* attributes,
                                               void** data, CUdeviceptr ptr) {
  State& s = state();
  std::lock_guard lock(s.mu);
  static long* counter = nullptr;  // written under the lock
  if (int injected = enter_locked(s, "cuPointerGetAttributes", &counter)) return injected;
  if (numAttributes == 0 || attributes == nullptr || data == nullptr) return kDriverInvalidValue;
  for (unsigned i = 0; i < numAttributes; ++i) {
    if (data[i] == nullptr || !write_attribute(s, attributes[i], data[i], static_cast<std::uintptr_t>(ptr))) {
      return kDriverInvalidValue;
    }
  }
  return CUDA_SUCCESS;
}

STANDIN_EXPORT CUresult cuCtxGetCurrent(CUcontext* pctx) {
  if (int injected = enter("cuCtxGetCurrent")) return injected;
  if (pctx == nullptr) return kDriverInvalidValue;
  const int bound = bound_device();
  *pctx = bound >= 0 ? context_handle(bound) : nullptr;
  return CUDA_SUCCESS;
}

// Null unbinds the thread's context; the runtime's selected device stays.
STANDIN_EXPORT CUresult cuCtxSetCurrent(CUcontext ctx) {
  if (int injected = enter("cuCtxSetCurrent")) return injected;
  State& s = state();
  std::lock_guard lock(s.mu);
  if (ctx == nullptr) {
    t_context = {};
    return CUDA_SUCCESS;
  }
  const auto device = static_cast<long>(reinterpret_cast<std::uintptr_t>(ctx)) - 0xC000;
  if (device < 0 || device >= kDeviceCount || !s.context_exists[device]) return kDriverInvalidContext;
  t_context = {static_cast<int>(device), s.generation.load(std::memory_order_relaxed)};
  return CUDA_SUCCESS;
}

namespace {

void* driver_symbol(const char* symbol) {
  const std::string_view name = symbol != nullptr ? symbol : "";
  if (name == "cuPointerGetAttributes") return reinterpret_cast<void*>(&cuPointerGetAttributes);
  if (name == "cuCtxGetCurrent") return reinterpret_cast<void*>(&cuCtxGetCurrent);
  if (name == "cuCtxSetCurrent") return reinterpret_cast<void*>(&cuCtxSetCurrent);
  return nullptr;
}

cudaError_t entry_point(const char* call, const char* symbol, void** funcPtr,
                        cudaDriverEntryPointQueryResult* driverStatus) {
  if (int injected = enter(call)) return fail(injected);
  if (symbol == nullptr || funcPtr == nullptr) return fail(kInvalidValue);
  *funcPtr = driver_symbol(symbol);
  if (driverStatus != nullptr) {
    *driverStatus = *funcPtr != nullptr ? cudaDriverEntryPointSuccess : cudaDriverEntryPointSymbolNotFound;
  }
  return cudaSuccess;
}

}  // namespace

STANDIN_EXPORT cudaError_t cudaGetDriverEntryPointByVersion(const char* symbol, void** funcPtr, unsigned int,
                                                            unsigned long long,
                                                            cudaDriverEntryPointQueryResult* driverStatus) {
  return entry_point("cudaGetDriverEntryPointByVersion", symbol, funcPtr, driverStatus);
}

STANDIN_EXPORT cudaError_t cudaGetDriverEntryPoint(const char* symbol, void** funcPtr, unsigned long long,
                                                   cudaDriverEntryPointQueryResult* driverStatus) {
  return entry_point("cudaGetDriverEntryPoint", symbol, funcPtr, driverStatus);
}

// ---- control ----

STANDIN_EXPORT void standin_set_adjacent_allocations(int on) {
  State& s = state();
  std::lock_guard lock(s.mu);
  s.adjacent_allocations = on != 0;
}

STANDIN_EXPORT cudaError_t standin_map_allocations(void** range, const std::size_t* sizes, int count) {
  if (range == nullptr || sizes == nullptr || count <= 0) return kInvalidValue;
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (sizes[i] == 0 || sizes[i] > kMaxAllocation - total) return kMemoryAllocation;
    total += sizes[i];
  }
  void* p = nullptr;
  if (posix_memalign(&p, kDeviceAlign, total) != 0 || p == nullptr) return kMemoryAllocation;
  std::memset(p, kFreshFill, total);
  State& s = state();
  std::lock_guard lock(s.mu);
  const int device = need_context_locked(s);
  s.device.emplace(reinterpret_cast<std::uintptr_t>(p),
                   DeviceAlloc{total, device, std::vector<std::size_t>(sizes, sizes + count), false});
  *range = p;
  return cudaSuccess;
}

STANDIN_EXPORT long standin_contexts_created(int device) {
  if (device < 0 || device >= kDeviceCount) return -1;
  State& s = state();
  std::lock_guard lock(s.mu);
  return s.contexts_created[device];
}

STANDIN_EXPORT void standin_reset(void) {
  reap();
  State& s = state();
  std::lock_guard lock(s.mu);
  for (auto& [name, count] : s.calls) count = 0;
  s.injections.clear();
  s.always.clear();
  s.pageable_copies = 0;
  s.hazards = 0;
  s.last_register_flags = -1;
  s.readonly_register_supported = true;
  s.pinned_alignment = kPageSize;
  s.adjacent_allocations = false;
  for (int d = 0; d < kDeviceCount; ++d) {
    s.contexts_created[d] = 0;
    s.context_exists[d] = false;
  }
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

STANDIN_EXPORT cudaError_t standin_peek_last_error(void) {
  LastError last = t_last_error;
  return last.generation == state().generation.load(std::memory_order_relaxed) ? last.code : cudaSuccess;
}

STANDIN_EXPORT long standin_last_register_flags(void) {
  State& s = state();
  std::lock_guard lock(s.mu);
  return s.last_register_flags;
}

STANDIN_EXPORT void standin_set_readonly_register_supported(int supported) {
  State& s = state();
  std::lock_guard lock(s.mu);
  s.readonly_register_supported = supported != 0;
}

STANDIN_EXPORT void standin_set_pinned_alignment(unsigned bytes) {
  State& s = state();
  std::lock_guard lock(s.mu);
  s.pinned_alignment = bytes == 0 || bytes > kPageSize || (bytes & (bytes - 1)) != 0 ? kPageSize : bytes;
}
