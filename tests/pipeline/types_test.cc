// Display texts of the freeze and restore errors: they reach Python users
// verbatim, so every variant's text is pinned here.
#include "pipeline/types.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(PipelineErrorText, FreezeVariantsWrapInnerMessage) {
  EXPECT_EQ((FreezeError{FreezeError::Backend{BackendError{BackendError::AllocationFailed{67108864}}}}.message()),
            "backend error during freeze: backend allocation failed: requested 67108864 bytes");

  SnapshotError inner{SnapshotError::TruncatedTable{32, 64}};
  EXPECT_EQ((FreezeError{FreezeError::Snapshot{inner}}.message()), "snapshot error during freeze: " + inner.message());
  EXPECT_EQ((FreezeError{FreezeError::InvalidConfig{"no regions"}}.message()), "invalid freeze config: no regions");
}

TEST(PipelineErrorText, RestoreWrappedVariants) {
  SnapshotError bad_magic{SnapshotError::Header{HeaderError{HeaderError::BadMagic{{0, 0, 0, 0}}}}};
  EXPECT_EQ((RestoreError{RestoreError::Snapshot{bad_magic}}.message()),
            "snapshot parse failed: header parse failed: bad magic bytes: expected b\"VESK\", found [0, 0, 0, 0]");

  BackendError alloc{BackendError::AllocationFailed{4096}};
  EXPECT_EQ((RestoreError{RestoreError::Backend{alloc}}.message()), "backend error during restore: " + alloc.message());
  EXPECT_EQ(
      (RestoreError{RestoreError::InvalidConfig{"chunk_size must be a positive multiple of 4096, got 0"}}.message()),
      "invalid restore config: chunk_size must be a positive multiple of 4096, got 0");
}

TEST(PipelineErrorText, RestoreRegionVariants) {
  EXPECT_EQ((RestoreError{RestoreError::UnmappedRegion{RegionKind::Metadata, 4294967295u}}.message()),
            "no device mapping for region: kind=Metadata, logical_id=4294967295");
  EXPECT_EQ((RestoreError{RestoreError::DeviceSizeMismatch{RegionKind::KvLiveBlock, 7, 4096, 8192}}.message()),
            "device region size mismatch: kind=KvLiveBlock, logical_id=7, file_size=4096, device_size=8192");
  EXPECT_EQ((RestoreError{RestoreError::PayloadOutOfBounds{100, 18446744073709551615u}}.message()),
            "region payload out of bounds: file_size=100, payload_end=18446744073709551615");
}

TEST(PipelineErrorText, ChecksumsArePaddedLowercaseHex) {
  EXPECT_EQ((RestoreError{RestoreError::ChecksumMismatch{RegionKind::Weights, 3, 0x1234, 0}}.message()),
            "region checksum mismatch: kind=Weights, logical_id=3, expected=0x00001234, actual=0x00000000");
  EXPECT_EQ(
      (RestoreError{RestoreError::ChecksumMismatch{RegionKind::KvLiveBlock, 0, 0xE3069283u, 0xFFFFFFFFu}}.message()),
      "region checksum mismatch: kind=KvLiveBlock, logical_id=0, expected=0xe3069283, actual=0xffffffff");
}

}  // namespace
}  // namespace vesk
