#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "format/snapshot.h"
#include "format/writer.h"
#include "io/byte_sink.h"

namespace vesk {
namespace {

TEST(ByteSink, TakesThePreludeOrReportsTheIoFailure) {
  ByteRegionWriter w;
  w.push_region_metadata(RegionKind::Weights, 0, 1);
  Snapshot s = w.build_snapshot();

  struct Collect : ByteSink {
    std::vector<std::uint8_t> got;
    IoResult<void> write_all(std::span<const std::uint8_t> b) override {
      got.insert(got.end(), b.begin(), b.end());
      return {};
    }
  } collect;
  auto n = s.write_to(collect);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, s.prelude_size());
  EXPECT_EQ(collect.got, s.to_prelude_bytes());

  struct Full : ByteSink {
    IoResult<void> write_all(std::span<const std::uint8_t>) override {
      return std::unexpected(IoError::from_errno(ENOSPC));
    }
  } full;
  auto err = s.write_to(full);
  ASSERT_FALSE(err);
  const auto* io = std::get_if<SnapshotError::Io>(&err.error().v);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->kind, IoErrorKind::StorageFull);
  EXPECT_EQ(err.error().message(),
            "i/o error during snapshot prelude: StorageFull: No space left on device (os error 28)");
}

}  // namespace
}  // namespace vesk
