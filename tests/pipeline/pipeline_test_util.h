// Shared pieces of the pipeline tests: an independent CRC-32C, temporary
// directories, device regions in the stand-in's device memory, and a
// fixture that checks the stand-in is left with nothing in flight.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "backend/real_cuda.h"
#include "io/direct_file.h"
#include "pipeline/config.h"
#include "pipeline/staging_buffers.h"
#include "pipeline/types.h"
#include "snapshot_bytes.h"
#include "standin/standin.h"
#include "testing/test_seams.h"

namespace vesk::test {

// Bitwise-table CRC-32C, kept apart from the code under test.
inline std::uint32_t ref_crc32c(const std::uint8_t* data, std::size_t len) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}
inline std::uint32_t ref_crc32c(const std::vector<std::uint8_t>& v) { return ref_crc32c(v.data(), v.size()); }

// Bytes in the stand-in's device memory (cudaMalloc, on the calling
// thread's current device), used like a vector: the stand-in's device
// memory is host memory, so a test reads and writes it in place once the
// streams that used it were waited on.
class DeviceBytes {
 public:
  using value_type = std::uint8_t;
  using iterator = std::uint8_t*;
  using const_iterator = const std::uint8_t*;

  DeviceBytes() = default;
  explicit DeviceBytes(std::size_t n) { allocate(n); }
  DeviceBytes(const std::vector<std::uint8_t>& v) {  // NOLINT: implicit, as the vectors it replaces
    allocate(v.size());
    if (!v.empty()) std::memcpy(ptr_, v.data(), v.size());
  }
  DeviceBytes(const DeviceBytes& other) : DeviceBytes(other.vector()) {}
  DeviceBytes(DeviceBytes&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  DeviceBytes& operator=(DeviceBytes other) noexcept {
    std::swap(ptr_, other.ptr_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~DeviceBytes() {
    if (ptr_ != nullptr) cudaFree(ptr_);
  }

  std::uint8_t* data() { return ptr_; }
  const std::uint8_t* data() const { return ptr_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  iterator begin() { return ptr_; }
  iterator end() { return ptr_ + size_; }
  const_iterator begin() const { return ptr_; }
  const_iterator end() const { return ptr_ + size_; }
  std::uint8_t& operator[](std::size_t i) { return ptr_[i]; }
  std::uint8_t operator[](std::size_t i) const { return ptr_[i]; }

  // New memory of n bytes: the old contents up to n, zeros after them.
  void resize(std::size_t n) {
    DeviceBytes grown(n);
    if (std::min(n, size_) > 0) std::memcpy(grown.ptr_, ptr_, std::min(n, size_));
    *this = std::move(grown);
  }
  std::vector<std::uint8_t> vector() const { return {begin(), end()}; }

  bool operator==(const DeviceBytes& o) const { return std::equal(begin(), end(), o.begin(), o.end()); }
  bool operator==(const std::vector<std::uint8_t>& v) const { return std::equal(begin(), end(), v.begin(), v.end()); }

 private:
  // An empty region still gets a real address (one byte of memory).
  void allocate(std::size_t n) {
    void* p = nullptr;
    if (cudaMalloc(&p, std::max<std::size_t>(n, 1)) != 0 || p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, std::max<std::size_t>(n, 1));
    ptr_ = static_cast<std::uint8_t*>(p);
    size_ = n;
  }
  std::uint8_t* ptr_ = nullptr;
  std::size_t size_ = 0;
};

inline std::uint32_t ref_crc32c(const DeviceBytes& v) { return ref_crc32c(v.data(), v.size()); }

inline std::string hex32(std::uint32_t v) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// The kind of the I/O failure a freeze or restore error wraps; empty for
// any other error. The texts are tested where they are made; elsewhere a
// test checks which failure it got.
template <typename Error>
std::optional<IoErrorKind> io_failure_kind(const Error& err) {
  const auto* snap = std::get_if<typename Error::Snapshot>(&err.v);
  if (snap == nullptr) return std::nullopt;
  const auto* io = std::get_if<SnapshotError::Io>(&snap->inner.v);
  if (io == nullptr) return std::nullopt;
  return io->kind;
}

// The runtime failure a freeze or restore error wraps: the call's label and
// its status; empty for any other error.
struct CudaFailure {
  std::string op;
  int status;
  bool operator==(const CudaFailure&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const CudaFailure& f) {
  return os << f.op << " -> " << f.status;
}
template <typename Error>
std::optional<CudaFailure> cuda_failure(const Error& err) {
  const auto* backend = std::get_if<typename Error::Backend>(&err.v);
  if (backend == nullptr) return std::nullopt;
  const auto* cuda = std::get_if<BackendError::Cuda>(&backend->inner.v);
  if (cuda == nullptr) return std::nullopt;
  return CudaFailure{cuda->op, cuda->status.code};
}
// The size of the page-locked allocation a freeze or restore error reports
// as refused; empty for any other error.
template <typename Error>
std::optional<std::size_t> refused_allocation(const Error& err) {
  const auto* backend = std::get_if<typename Error::Backend>(&err.v);
  if (backend == nullptr) return std::nullopt;
  const auto* alloc = std::get_if<BackendError::AllocationFailed>(&backend->inner.v);
  if (alloc == nullptr) return std::nullopt;
  return alloc->bytes;
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A fresh directory under `parent` ($TMPDIR when empty), removed with its
// contents at the end of the test.
class TempDir {
 public:
  explicit TempDir(std::string parent = {}) {
    if (parent.empty()) {
      const char* t = std::getenv("TMPDIR");
      parent = t != nullptr && *t != '\0' ? t : "/tmp";
    }
    std::string tmpl = parent + "/vesk-test-XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One device region with its key.
struct HostRegion {
  RegionKind kind;
  std::uint32_t logical_id;
  DeviceBytes bytes;

  DeviceRegion region() const { return DeviceRegion{DevicePtr{reinterpret_cast<std::uintptr_t>(bytes.data())}, bytes.size()}; }
  FreezeRequest request() const { return FreezeRequest{kind, logical_id, region()}; }
};

inline RegionKind kind_for(std::size_t i) { return static_cast<RegionKind>(i % 3); }

// Regions of the given sizes with distinct contents, kinds cycling, ids 10 + i.
inline std::vector<HostRegion> make_regions(const std::vector<std::uint64_t>& sizes, std::uint32_t seed = 1) {
  std::vector<HostRegion> out;
  for (std::size_t i = 0; i < sizes.size(); ++i)
    out.push_back(HostRegion{kind_for(i), static_cast<std::uint32_t>(10 + i),
                             pattern_bytes(sizes[i], seed * 1000 + static_cast<std::uint32_t>(i))});
  return out;
}

// Zeroed regions of the same keys and sizes, to restore into.
inline std::vector<HostRegion> blank_like(const std::vector<HostRegion>& regions) {
  std::vector<HostRegion> out;
  for (const auto& r : regions) out.push_back(HostRegion{r.kind, r.logical_id, std::vector<std::uint8_t>(r.bytes.size())});
  return out;
}

inline std::vector<FreezeRequest> requests_for(const std::vector<HostRegion>& regions) {
  std::vector<FreezeRequest> out;
  for (const auto& r : regions) out.push_back(r.request());
  return out;
}

// Looks up by key; the regions must outlive the resolver.
inline RegionResolver resolver_for(const std::vector<HostRegion>& regions) {
  return [&regions](RegionKind kind, std::uint32_t id) -> std::optional<DeviceRegion> {
    for (const auto& r : regions)
      if (r.kind == kind && r.logical_id == id) return r.region();
    return std::nullopt;
  };
}

// Forwards every operation to the stand-in through RealCuda; a test
// overrides the operation it wants to misbehave.
class ForwardingBackend : public Backend {
 public:
  BackendResult<PinnedBuffer> alloc_pinned(std::size_t bytes) const override { return real_.alloc_pinned(bytes); }
  BackendResult<PinnedBuffer> alloc_pinned_wc(std::size_t bytes) const override { return real_.alloc_pinned_wc(bytes); }
  BackendResult<StreamHandle> stream_create() const override { return real_.stream_create(); }
  BackendResult<void> stream_destroy(StreamHandle stream) const override { return real_.stream_destroy(stream); }
  BackendResult<void> stream_sync(const StreamHandle& stream) const override { return real_.stream_sync(stream); }
  BackendResult<void> memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src, std::size_t src_offset,
                                       const StreamHandle& stream) const override {
    return real_.memcpy_h2d_async(region, src, src_offset, stream);
  }
  BackendResult<void> memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                       const StreamHandle& stream) const override {
    return real_.memcpy_d2h_async(dst, dst_offset, region, stream);
  }
  BackendResult<HostRegistration> host_register(std::uint8_t* ptr, std::size_t size) const override {
    return real_.host_register(ptr, size);
  }
  BackendResult<void> memcpy_h2d_async_raw(const DeviceRegion& region, const std::uint8_t* src_ptr, std::size_t size,
                                           const StreamHandle& stream) const override {
    return real_.memcpy_h2d_async_raw(region, src_ptr, size, stream);
  }

 private:
  RealCuda real_;
};

// The runtime reports a failed stream destruction; the handle is consumed
// all the same, as the interface says.
class FailingStreamDestroy : public ForwardingBackend {
 public:
  explicit FailingStreamDestroy(int status) : status_(status) {}
  BackendResult<void> stream_destroy(StreamHandle stream) const override {
    (void)ForwardingBackend::stream_destroy(stream);
    return std::unexpected(BackendError{BackendError::Cuda{CudaStatus{status_}, op_label::kStreamDestroy}});
  }

 private:
  int status_;
};

// Sets (or, with a null value, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  void set(const char* value) {
    if (value != nullptr) ::setenv(name_, value, 1);
    else ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The stand-in's own delay of every queued copy.
inline constexpr unsigned kStandinDefaultDelayUs = 20;

// Starts every test with no injected failure and this
// thread's staging caches empty; ends it by checking that no stream is
// left and no page-locked memory was freed under a pending copy.
class PipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    standin_reset();
    empty_staging_caches();
    hazards_before_ = standin_hazards();
  }
  void TearDown() override {
    standin_set_delay_us(kStandinDefaultDelayUs);
    set_refuse_direct_open_for_testing(false);
    expect_quiet();
    // A failed runtime call must not leave its error for the caller's
    // next check, whatever path failed.
    EXPECT_EQ(standin_peek_last_error(), 0) << "an error is left recorded for this thread";
    standin_reset();
  }

  // Taking a pair out of each cache and dropping it leaves both slots
  // empty; the switches that bypass or redirect the caches are off for it.
  static void empty_staging_caches() {
    const ScopedEnv no_bypass("VESK_DISABLE_WC_CACHE", nullptr);
    const ScopedEnv no_redirect("VESK_FREEZE_USE_WC", nullptr);
    const RealCuda cuda;
    (void)acquire_pinned_bufs(cuda, 4096);
    (void)acquire_wc_bufs(cuda, 4096);
  }

  void expect_quiet() const {
    EXPECT_EQ(standin_live("streams"), 0) << "streams left alive";
    EXPECT_EQ(standin_hazards(), hazards_before_) << "page-locked memory freed under a pending copy";
  }

  // After a failure: quiet, and exactly `pinned` page-locked buffers live
  // (those the thread's cache holds).
  void expect_clean_failure(long pinned) const {
    expect_quiet();
    EXPECT_EQ(standin_live("pinned"), pinned) << "page-locked buffers beyond the cache";
  }

  const RealCuda cuda_;
  long hazards_before_ = 0;
};

}  // namespace vesk::test
