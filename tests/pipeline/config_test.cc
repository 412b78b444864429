// The environment switches, the chunk-size rule and the per-thread caches
// of staging-buffer pairs.
#include "pipeline/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "backend/real_cuda.h"
#include "pipeline/staging_buffers.h"
#include "pipeline_test_util.h"
#include "standin/standin.h"

namespace vesk {
namespace {

// The real backend on the stand-in runtime, with allocation counts and an
// injectable failure of the nth allocation (counting both kinds).
class CountingBackend final : public CudaBackend {
 public:
  BackendResult<PinnedBuffer> alloc_pinned(std::size_t bytes) const override {
    ++pinned;
    if (++calls == fail_at) return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
    return real_.alloc_pinned(bytes);
  }
  BackendResult<PinnedBuffer> alloc_pinned_wc(std::size_t bytes) const override {
    ++wc;
    if (++calls == fail_at) return std::unexpected(BackendError{BackendError::AllocationFailed{bytes}});
    return real_.alloc_pinned_wc(bytes);
  }
  mutable int pinned = 0;
  mutable int wc = 0;
  mutable int calls = 0;
  int fail_at = 0;

 private:
  RealCuda real_;
};

constexpr std::size_t kChunk = 64 * 1024;

// Every cache test runs on a thread of its own, so it starts with empty
// slots whatever earlier tests left in the main thread's cache, and its
// cached pairs are freed when the thread ends.
template <typename F>
void on_fresh_thread(F body) {
  std::thread t(body);
  t.join();
}

long live_pinned() { return standin_live("pinned"); }

class StagingCache : public ::testing::Test {
 protected:
  test::ScopedEnv disable_{"VESK_DISABLE_WC_CACHE", nullptr};
  test::ScopedEnv use_wc_{"VESK_FREEZE_USE_WC", nullptr};
  long base_ = live_pinned();
  void TearDown() override { EXPECT_EQ(live_pinned(), base_) << "a thread's cached buffers outlived it"; }
};

TEST(PipelineSwitches, OnlyFourExactValuesEnable) {
  for (const char* name : {"VESK_DISABLE_WC_CACHE", "VESK_FREEZE_USE_WC"}) {
    auto read = [&] { return std::string(name) == "VESK_FREEZE_USE_WC" ? freeze_use_wc() : wc_cache_disabled(); };
    test::ScopedEnv env(name, nullptr);
    EXPECT_FALSE(read()) << name;
    for (const char* on : {"1", "true", "yes", "on"}) {
      env.set(on);
      EXPECT_TRUE(read()) << name << '=' << on;
    }
    for (const char* off : {"0", "", "TRUE", "On", " 1", "1 ", "2", "y"}) {
      env.set(off);
      EXPECT_FALSE(read()) << name << '=' << off;
    }
  }
}

TEST(PipelineSwitches, ChunkSizeRule) {
  EXPECT_FALSE(chunk_size_is_valid(0));
  EXPECT_FALSE(chunk_size_is_valid(4095));
  EXPECT_FALSE(chunk_size_is_valid(4097));
  EXPECT_TRUE(chunk_size_is_valid(4096));
  EXPECT_TRUE(chunk_size_is_valid(64u << 20));
  EXPECT_EQ(invalid_chunk_size_message(0), "chunk_size must be a positive multiple of 4096, got 0");
  EXPECT_EQ(invalid_chunk_size_message(4097), "chunk_size must be a positive multiple of 4096, got 4097");
}

TEST_F(StagingCache, SameSizeReusesThePair) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto first = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ((*first)[0].size(), kChunk);
    EXPECT_EQ((*first)[1].size(), kChunk);
    const std::byte* p0 = (*first)[0].data();
    release_pinned_bufs(std::move(*first), kChunk);
    EXPECT_EQ(live_pinned(), base_ + 2);

    auto second = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(backend.pinned, 2);
    EXPECT_EQ(backend.wc, 0);
    EXPECT_EQ((*second)[0].data(), p0);
    release_pinned_bufs(std::move(*second), kChunk);
  });
}

// A call's staging goes back to the cache only when the call commits; a
// call that fails (drops it uncommitted) frees its pair, even one it took
// from the cache, and its streams.
TEST_F(StagingCache, OnlyACommittedCallHandsItsPairBack) {
  on_fresh_thread([&] {
    RealCuda backend;
    const long streams = standin_live("streams");
    auto create = [&] { return Staging::create(backend, StagingMemory::Pinned, kChunk); };
    {
      auto failed = create();
      ASSERT_TRUE(failed.has_value());
      EXPECT_EQ(standin_live("streams"), streams + 2);
    }
    EXPECT_EQ(live_pinned(), base_);
    EXPECT_EQ(standin_live("streams"), streams);
    {
      auto committed = create();
      ASSERT_TRUE(committed.has_value());
      ASSERT_TRUE(committed->commit().has_value());
      EXPECT_EQ(standin_live("streams"), streams);
    }
    EXPECT_EQ(live_pinned(), base_ + 2);
    {
      auto failed = create();
      ASSERT_TRUE(failed.has_value());
      EXPECT_EQ(live_pinned(), base_ + 2);  // the cached pair, not a new one
    }
    EXPECT_EQ(live_pinned(), base_);
    EXPECT_EQ(standin_live("streams"), streams);
  });
}

TEST_F(StagingCache, OtherSizeFreesTheCachedPair) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto big = acquire_wc_bufs(backend, 2 * kChunk);
    ASSERT_TRUE(big.has_value());
    release_wc_bufs(std::move(*big), 2 * kChunk);

    auto small = acquire_wc_bufs(backend, kChunk);
    ASSERT_TRUE(small.has_value());
    EXPECT_EQ(backend.wc, 4);
    EXPECT_EQ(live_pinned(), base_ + 2);  // the large pair is gone
    release_wc_bufs(std::move(*small), kChunk);

    auto again = acquire_wc_bufs(backend, kChunk);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(backend.wc, 4);
    EXPECT_EQ(backend.pinned, 0);
    release_wc_bufs(std::move(*again), kChunk);
  });
}

TEST_F(StagingCache, PinnedAndWriteCombinedSlotsAreSeparate) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto pinned = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(pinned.has_value());
    release_pinned_bufs(std::move(*pinned), kChunk);
    auto wc = acquire_wc_bufs(backend, kChunk);
    ASSERT_TRUE(wc.has_value());
    EXPECT_EQ(backend.pinned, 2);
    EXPECT_EQ(backend.wc, 2);
    release_wc_bufs(std::move(*wc), kChunk);
    EXPECT_EQ(live_pinned(), base_ + 4);
  });
}

TEST_F(StagingCache, ReleaseIntoAFullSlotFreesTheReleasedPair) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto a = acquire_pinned_bufs(backend, kChunk);
    auto b = acquire_pinned_bufs(backend, kChunk);  // slot empty: a second pair
    ASSERT_TRUE(a.has_value() && b.has_value());
    const std::byte* a0 = (*a)[0].data();
    release_pinned_bufs(std::move(*a), kChunk);
    release_pinned_bufs(std::move(*b), kChunk);
    EXPECT_EQ(live_pinned(), base_ + 2);
    auto c = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ((*c)[0].data(), a0);  // the pair cached first was kept
    EXPECT_EQ(backend.pinned, 4);
  });
}

TEST_F(StagingCache, MislabelledPairIsNotCached) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto pair = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(pair.has_value());
    release_pinned_bufs(std::move(*pair), 2 * kChunk);
    EXPECT_EQ(live_pinned(), base_);
    auto next = acquire_pinned_bufs(backend, 2 * kChunk);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ((*next)[0].size(), 2 * kChunk);
  });
}

TEST_F(StagingCache, DisabledCacheAllocatesAndFreesEveryTime) {
  for (const char* value : {"1", "0", "TRUE"}) {
    SCOPED_TRACE(value);
    disable_.set(value);
    const bool disabled = std::string(value) == "1";
    on_fresh_thread([&] {
      CountingBackend backend;
      for (int round = 0; round < 2; ++round) {
        auto pinned = acquire_pinned_bufs(backend, kChunk);
        auto wc = acquire_wc_bufs(backend, kChunk);
        ASSERT_TRUE(pinned.has_value() && wc.has_value());
        release_pinned_bufs(std::move(*pinned), kChunk);
        release_wc_bufs(std::move(*wc), kChunk);
        EXPECT_EQ(live_pinned(), base_ + (disabled ? 0 : 4));
      }
      EXPECT_EQ(backend.pinned, disabled ? 4 : 2);
      EXPECT_EQ(backend.wc, disabled ? 4 : 2);
    });
  }
}

TEST_F(StagingCache, FreezeUseWcRoutesPinnedCallsToTheWcCache) {
  on_fresh_thread([&] {
    CountingBackend backend;
    use_wc_.set("yes");
    auto freeze_pair = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(freeze_pair.has_value());
    EXPECT_EQ(backend.wc, 2);
    EXPECT_EQ(backend.pinned, 0);
    release_pinned_bufs(std::move(*freeze_pair), kChunk);

    use_wc_.set(nullptr);
    auto restore_pair = acquire_wc_bufs(backend, kChunk);  // the freeze's pair
    ASSERT_TRUE(restore_pair.has_value());
    EXPECT_EQ(backend.wc, 2);
    auto pinned_pair = acquire_pinned_bufs(backend, kChunk);  // nothing went to the pinned slot
    ASSERT_TRUE(pinned_pair.has_value());
    EXPECT_EQ(backend.pinned, 2);
  });
}

TEST_F(StagingCache, FailedAcquireFreesWhatItTookAndLeavesSlotEmpty) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto old = acquire_pinned_bufs(backend, 2 * kChunk);
    ASSERT_TRUE(old.has_value());
    release_pinned_bufs(std::move(*old), 2 * kChunk);

    backend.fail_at = backend.calls + 2;  // the second buffer of the next pair
    auto failed = acquire_pinned_bufs(backend, kChunk);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), BackendError{BackendError::AllocationFailed{kChunk}}.message());
    EXPECT_EQ(live_pinned(), base_);  // neither the old pair nor the first new buffer is left

    auto retry = acquire_pinned_bufs(backend, 2 * kChunk);
    ASSERT_TRUE(retry.has_value());
    EXPECT_EQ(backend.pinned, 6);  // the old pair was not kept
  });
}

TEST_F(StagingCache, EachThreadHasItsOwnPair) {
  on_fresh_thread([&] {
    CountingBackend backend;
    auto mine = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(mine.has_value());
    release_pinned_bufs(std::move(*mine), kChunk);

    on_fresh_thread([&] {
      auto theirs = acquire_pinned_bufs(backend, kChunk);
      ASSERT_TRUE(theirs.has_value());
      EXPECT_EQ(backend.pinned, 4);
      release_pinned_bufs(std::move(*theirs), kChunk);
      EXPECT_EQ(live_pinned(), base_ + 4);
    });
    // The second thread's exit freed its pair; this thread's is still cached.
    EXPECT_EQ(live_pinned(), base_ + 2);
    auto again = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(backend.pinned, 4);
  });
}

// Uses the caches from a thread-local destructor that runs after the
// thread's cache slots were torn down.
struct LateUser {
  CountingBackend* backend = nullptr;
  long* live_after_release = nullptr;
  ~LateUser() {
    if (backend == nullptr) return;
    auto pair = acquire_pinned_bufs(*backend, kChunk);
    if (!pair) return;
    release_pinned_bufs(std::move(*pair), kChunk);
    *live_after_release = live_pinned();
  }
};

TEST_F(StagingCache, DestroyedSlotAllocatesAndFrees) {
  CountingBackend backend;
  long live_after_release = -1;
  on_fresh_thread([&] {
    thread_local LateUser late;  // constructed before the slot, so destroyed after it
    late.backend = &backend;
    late.live_after_release = &live_after_release;
    auto pair = acquire_pinned_bufs(backend, kChunk);
    ASSERT_TRUE(pair.has_value());
    release_pinned_bufs(std::move(*pair), kChunk);
  });
  EXPECT_EQ(backend.pinned, 4);  // the late acquire found no cache to reuse
  EXPECT_EQ(live_after_release, base_);
}

}  // namespace
}  // namespace vesk
