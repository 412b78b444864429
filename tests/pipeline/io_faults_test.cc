// File-system faults that strike while a freeze or a restore is running:
// the target directory vanishes or turns read-only, the file system fills
// up, the snapshot shrinks or is replaced under a restore. The pipelines
// run on one thread, so the fault is injected from inside the run, by a
// backend that performs a callback just before the k-th call of one
// operation and otherwise forwards to the runtime.
#include <sched.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>

#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"
#include "pipeline_test_util.h"

namespace vesk::test {
namespace {

enum class Call { StreamCreate, StreamSync, StreamDestroy, MemcpyD2H, MemcpyH2D, Count };

class HookedBackend final : public ForwardingBackend {
 public:
  // Runs `fn` just before the k-th (1-based) call of `call` reaches the runtime.
  void at(Call call, int k, std::function<void()> fn) {
    call_ = call;
    k_ = k;
    fn_ = std::move(fn);
  }
  int calls(Call call) const { return counts_[static_cast<std::size_t>(call)]; }

  BackendResult<StreamHandle> stream_create() const override {
    enter(Call::StreamCreate);
    return ForwardingBackend::stream_create();
  }
  BackendResult<void> stream_destroy(StreamHandle stream) const override {
    enter(Call::StreamDestroy);
    return ForwardingBackend::stream_destroy(stream);
  }
  BackendResult<void> stream_sync(const StreamHandle& stream) const override {
    enter(Call::StreamSync);
    return ForwardingBackend::stream_sync(stream);
  }
  BackendResult<void> memcpy_h2d_async(const DeviceRegion& region, const PinnedBuffer& src, std::size_t src_offset,
                                       const StreamHandle& stream) const override {
    enter(Call::MemcpyH2D);
    return ForwardingBackend::memcpy_h2d_async(region, src, src_offset, stream);
  }
  BackendResult<void> memcpy_d2h_async(PinnedBuffer& dst, std::size_t dst_offset, const DeviceRegion& region,
                                       const StreamHandle& stream) const override {
    enter(Call::MemcpyD2H);
    return ForwardingBackend::memcpy_d2h_async(dst, dst_offset, region, stream);
  }

 private:
  void enter(Call call) const {
    const int n = ++counts_[static_cast<std::size_t>(call)];
    if (call == call_ && n == k_ && fn_) fn_();
  }

  Call call_ = Call::Count;
  int k_ = 0;
  std::function<void()> fn_;
  mutable std::array<int, static_cast<std::size_t>(Call::Count)> counts_{};
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Moves this process into a mount namespace of its own, once, so that a
// mount made by a test vanishes with the process even when it is killed.
// Refused where the process already runs several threads (some sanitizer
// runtimes start one); the guards below unmount in any case.
void private_mounts() {
  static const bool done = [] {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  (void)done;
}

// Unmounts (lazily) whatever was mounted on `dir` when the scope ends.
struct MountGuard {
  std::string dir;
  bool mounted = false;
  ~MountGuard() {
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
  }
};

// Puts a read-only view of `dir` over `dir`: descriptors opened before stay
// writable, every path lookup afterwards sees a read-only file system.
bool bind_read_only(const std::string& dir) {
  if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    const int e = errno;
    ::umount2(dir.c_str(), MNT_DETACH);
    errno = e;
    return false;
  }
  return true;
}

// Writes a file until the file system has no block left.
void fill_up(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::vector<std::uint8_t> block(4096, 0x77);
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);
}

class IoFaultTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    ASSERT_TRUE(dir_.ok());
    private_mounts();
  }

  std::expected<FreezeStats, FreezeError> freeze(const Backend& backend, const std::string& path) const {
    return freeze_pipelined_to_file(backend, requests_for(regions_), FreezeConfig{std::nullopt, kChunk, true}, path);
  }

  // The number of stream waits of one clean freeze of regions_.
  int freeze_syncs() {
    HookedBackend probe;
    const std::string path = dir_.file("probe.vesk");
    EXPECT_TRUE(freeze(probe, path));
    std::filesystem::remove(path);
    return probe.calls(Call::StreamSync);
  }

  // A small snapshot at `path`: the old contents a failed freeze must keep.
  std::vector<std::uint8_t> write_old_snapshot(const std::string& path) const {
    const auto old = make_regions({1000, 2000}, 7);
    EXPECT_TRUE(freeze_pipelined_to_file(cuda_, requests_for(old), FreezeConfig{std::nullopt, kChunk, true}, path));
    return read_file(path);
  }

  void expect_restores_to_regions(const std::string& path) const {
    auto blank = blank_like(regions_);
    auto r = restore_pipelined(cuda_, path, resolver_for(blank), PipelineConfig{kChunk, true});
    ASSERT_TRUE(r) << r.error().message();
    for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank[i].bytes, regions_[i].bytes) << "region " << i;
  }

  static constexpr std::uint64_t kChunk = 256 * 1024;
  // No caching: every page-locked buffer a run takes must be gone after it.
  ScopedEnv no_cache_{"VESK_DISABLE_WC_CACHE", "1"};
  TempDir dir_;
  // About 2.1 MiB: nine chunks, regions straddling chunk boundaries.
  const std::vector<HostRegion> regions_ = make_regions({300000, (1u << 20) + 123, 700000, 5000}, 3);
};

// The directory is removed (with the unfinished file in it) before each
// stream wait in turn. Writes to the open file still succeed; the commit
// cannot, and nothing appears anywhere.
TEST_F(IoFaultTest, TargetDirectoryRemovedMidFreeze) {
  const int syncs = freeze_syncs();
  ASSERT_GE(syncs, 8);
  for (int k = 1; k <= syncs; ++k) {
    SCOPED_TRACE("directory removed before stream wait " + std::to_string(k));
    const std::string sub = dir_.file("sub");
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    const std::string target = sub + "/snap.vesk";
    write_old_snapshot(target);

    HookedBackend backend;
    backend.at(Call::StreamSync, k, [&] { std::filesystem::remove_all(sub); });
    auto r = freeze(backend, target);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::NotFound) << r.error().message();
    EXPECT_FALSE(path_exists(sub));
    expect_clean_failure(0);

    // The same target in a fresh directory takes the next freeze.
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    ASSERT_TRUE(freeze(cuda_, target));
    EXPECT_FALSE(path_exists(tmp_path_for(target)));
    expect_restores_to_regions(target);
    std::filesystem::remove_all(sub);
  }
}

// The directory turns read-only before a stream wait (a read-only view is
// mounted over it). The rename is refused: the old snapshot stays, and the
// unfinished file, which cannot be removed from a read-only file system,
// is the only trace; the next freeze reuses it.
TEST_F(IoFaultTest, TargetDirectoryTurnsReadOnlyMidFreeze) {
  const int syncs = freeze_syncs();
  for (const int k : {1, syncs / 2, syncs}) {
    SCOPED_TRACE("read-only before stream wait " + std::to_string(k));
    const std::string sub = dir_.file("ro-" + std::to_string(k));
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    const std::string target = sub + "/snap.vesk";
    const auto old = write_old_snapshot(target);
    {
      MountGuard guard{sub};
      int mount_errno = 0;
      HookedBackend backend;
      backend.at(Call::StreamSync, k, [&] {
        guard.mounted = bind_read_only(sub);
        mount_errno = errno;
      });
      auto r = freeze(backend, target);
      if (!guard.mounted) GTEST_SKIP() << "cannot mount a read-only view here: " << std::strerror(mount_errno);
      ASSERT_FALSE(r);
      EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::ReadOnlyFilesystem) << r.error().message();
      EXPECT_EQ(read_file(target), old);
      expect_clean_failure(0);

      // Read-only from the start: nothing is created at all.
      auto again = freeze(cuda_, target);
      ASSERT_FALSE(again);
      EXPECT_EQ(io_failure_kind(again.error()), IoErrorKind::ReadOnlyFilesystem) << again.error().message();
      EXPECT_EQ(read_file(target), old);
    }
    ASSERT_TRUE(freeze(cuda_, target));
    EXPECT_FALSE(path_exists(tmp_path_for(target)));
    expect_restores_to_regions(target);
  }
}

// A small tmpfs fills up (another writer takes every free block) before a
// stream wait: StorageFull, the old snapshot intact, no unfinished file;
// once space is freed the same freeze succeeds.
TEST_F(IoFaultTest, FileSystemFillsUpMidFreeze) {
  TempDir mnt;
  ASSERT_TRUE(mnt.ok());
  if (::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  MountGuard guard{mnt.path(), true};
  const std::string target = mnt.file("snap.vesk");
  const std::string filler = mnt.file("filler");
  const auto old = write_old_snapshot(target);

  const int syncs = freeze_syncs();
  for (const int k : {1, 2, syncs / 2, syncs}) {
    SCOPED_TRACE("full before stream wait " + std::to_string(k));
    HookedBackend backend;
    backend.at(Call::StreamSync, k, [&] { fill_up(filler); });
    auto r = freeze(backend, target);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::StorageFull) << r.error().message();
    EXPECT_EQ(read_file(target), old);
    EXPECT_FALSE(path_exists(tmp_path_for(target)));
    expect_clean_failure(0);
    ASSERT_EQ(::unlink(filler.c_str()), 0);
  }
  ASSERT_TRUE(freeze(cuda_, target));
  expect_restores_to_regions(target);
}

// A file-size limit (no privileges needed) stops the writes part-way:
// FileTooLarge, and the same clean-up as a full disk.
TEST_F(IoFaultTest, FileSizeLimitMidFreeze) {
  const std::string target = dir_.file("snap.vesk");
  const auto old = write_old_snapshot(target);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = saved;
  low.rlim_cur = 1u << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  auto r = freeze(cuda_, target);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(r);
  EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::FileTooLarge) << r.error().message();
  EXPECT_EQ(read_file(target), old);
  EXPECT_FALSE(path_exists(tmp_path_for(target)));
  expect_clean_failure(0);
}

class ShrinkingFileTest : public IoFaultTest, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    IoFaultTest::SetUp();
    path_ = dir_.file("snap.vesk");
    ASSERT_TRUE(freeze(cuda_, path_));
    full_size_ = read_file(path_).size();
  }

  std::expected<RestoreStats, RestoreError> restore(const Backend& backend, std::vector<HostRegion>& blank) {
    return restore_pipelined(backend, path_, resolver_for(blank), PipelineConfig{kChunk, GetParam()});
  }

  std::string path_;
  std::uint64_t full_size_ = 0;
};

// The file shrinks after its prelude was read and before the payload is:
// every cut, from just past the prelude to one byte short, ends in
// UnexpectedEof with nothing left behind.
TEST_P(ShrinkingFileTest, ShrinksBeforeThePayloadIsRead) {
  const std::uint64_t prelude = HEADER_SIZE + REGION_ENTRY_SIZE * regions_.size();
  for (const std::uint64_t cut : {prelude, prelude + 1, full_size_ / 2, full_size_ - 4096, full_size_ - 1}) {
    SCOPED_TRACE("cut to " + std::to_string(cut));
    ASSERT_TRUE(freeze(cuda_, path_));
    HookedBackend backend;
    backend.at(Call::StreamCreate, 1, [&] { ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(cut)), 0); });
    auto blank = blank_like(regions_);
    auto r = restore(backend, blank);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::UnexpectedEof) << r.error().message();
    expect_clean_failure(0);
  }
}

// The file shrinks to its prelude at each stream wait in turn: the restore
// fails with UnexpectedEof while chunks remain to be read, and succeeds
// with exact contents once every chunk was already read.
TEST_P(ShrinkingFileTest, ShrinksAtEachStreamWait) {
  HookedBackend probe;
  auto blank = blank_like(regions_);
  ASSERT_TRUE(restore(probe, blank));
  const int syncs = probe.calls(Call::StreamSync);
  int failures = 0;
  for (int k = 1; k <= syncs; ++k) {
    SCOPED_TRACE("cut before stream wait " + std::to_string(k));
    ASSERT_TRUE(freeze(cuda_, path_));
    HookedBackend backend;
    backend.at(Call::StreamSync, k, [&] { ASSERT_EQ(::truncate(path_.c_str(), HEADER_SIZE), 0); });
    blank = blank_like(regions_);
    auto r = restore(backend, blank);
    if (r) {
      for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank[i].bytes, regions_[i].bytes) << "region " << i;
    } else {
      ++failures;
      EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::UnexpectedEof) << r.error().message();
    }
    expect_clean_failure(0);
  }
  EXPECT_GE(failures, syncs - 3) << "only the waits after the last read may see a complete restore";
}

// Another snapshot of the same regions but other contents is renamed over
// the path while the restore plans. The restore reads the file it opened
// to the end: the old version exactly, with or without verification.
TEST_P(ShrinkingFileTest, ReplacedWhileRestoring) {
  const auto other = make_regions({300000, (1u << 20) + 123, 700000, 5000}, 4);
  const std::string other_path = dir_.file("other.vesk");
  for (const char* verify : {"1", "0"}) {
    SCOPED_TRACE(std::string("VESK_VERIFY=") + verify);
    ScopedEnv env("VESK_VERIFY", verify);
    ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests_for(other), FreezeConfig{std::nullopt, kChunk, true},
                                         other_path));
    auto blank = blank_like(regions_);
    bool replaced = false;
    const RegionResolver plain = resolver_for(blank);
    const RegionResolver replacing = [&](RegionKind kind, std::uint32_t id) {
      if (!replaced) {
        replaced = true;
        EXPECT_EQ(::rename(other_path.c_str(), path_.c_str()), 0);
      }
      return plain(kind, id);
    };
    auto r = restore_pipelined(cuda_, path_, replacing, PipelineConfig{kChunk, GetParam()});
    ASSERT_TRUE(r) << r.error().message();
    for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank[i].bytes, regions_[i].bytes) << "region " << i;
    expect_clean_failure(0);
    ASSERT_TRUE(freeze(cuda_, path_));
  }
}

INSTANTIATE_TEST_SUITE_P(DirectAndBuffered, ShrinkingFileTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Direct" : "Buffered"; });

// Whatever sits at the temporary name is never written, truncated or
// removed by a freeze unless a crashed freeze left it there: a symlink (to
// the target or elsewhere), a second link to the target, a directory or a
// FIFO fails the freeze at once and stays as it was, with the target.
TEST_F(IoFaultTest, ForeignThingsAtTheTemporaryNameAreLeftAlone) {
  const std::string target = dir_.file("snap.vesk");
  const std::string tmp = tmp_path_for(target);
  const std::string unrelated = dir_.file("unrelated");
  const auto old = write_old_snapshot(target);
  const std::vector<std::uint8_t> other(5000, 0x5a);
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"symlink to the target", [&] { std::filesystem::create_symlink(target, tmp); }},
      {"symlink to another file", [&] { std::filesystem::create_symlink(unrelated, tmp); }},
      {"hard link to the target", [&] { std::filesystem::create_hard_link(target, tmp); }},
      {"directory", [&] { std::filesystem::create_directories(tmp + "/keep"); }},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(tmp.c_str(), 0600), 0); }},
  };
  for (const auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    write_file(unrelated, other);
    make();
    const auto type = std::filesystem::symlink_status(tmp).type();
    auto r = freeze(cuda_, target);
    ASSERT_FALSE(r);
    EXPECT_EQ(io_failure_kind(r.error()), IoErrorKind::AlreadyExists) << r.error().message();
    EXPECT_TRUE(contains(r.error().message(), tmp)) << r.error().message();
    EXPECT_TRUE(contains(r.error().message(), "; it is left alone")) << r.error().message();
    EXPECT_EQ(std::filesystem::symlink_status(tmp).type(), type);
    EXPECT_EQ(read_file(target), old);
    EXPECT_EQ(read_file(unrelated), other);
    expect_clean_failure(0);
    std::filesystem::remove_all(tmp);
  }
  // A regular file left by a crash is reclaimed.
  write_file(tmp, other);
  ASSERT_TRUE(freeze(cuda_, target));
  EXPECT_FALSE(path_exists(tmp));
  expect_restores_to_regions(target);
}

// The temporary name is taken over by another file while the freeze
// writes: the freeze publishes neither file and removes nothing it did not
// create.
TEST_F(IoFaultTest, TemporaryNameReplacedMidFreeze) {
  const std::string target = dir_.file("snap.vesk");
  const std::string tmp = tmp_path_for(target);
  const auto old = write_old_snapshot(target);
  const std::vector<std::uint8_t> intruder(3000, 0x33);
  HookedBackend backend;
  backend.at(Call::StreamSync, 2, [&] {
    write_file(dir_.file("intruder"), intruder);
    ASSERT_EQ(::rename(dir_.file("intruder").c_str(), tmp.c_str()), 0);
  });
  auto r = freeze(backend, target);
  ASSERT_FALSE(r);
  EXPECT_TRUE(contains(r.error().message(), tmp + " was replaced while this freeze wrote it")) << r.error().message();
  EXPECT_EQ(read_file(target), old);
  EXPECT_EQ(read_file(tmp), intruder);
  expect_clean_failure(0);
}

}  // namespace
}  // namespace vesk::test
