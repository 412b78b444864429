// A snapshot file back into device regions, checksums verified on a worker
// thread while the next chunk is read (in pieces read side by side, see
// pipeline/parallel_file_io.h).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "backend/backend.h"
#include "io/byte_source.h"
#include "pipeline/checksum.h"
#include "pipeline/chunk_geometry.h"
#include "pipeline/config.h"
#include "pipeline/copy_runs.h"
#include "pipeline/staging_buffers.h"
#include "pipeline/types.h"

namespace vesk {

// Queues the copies of chunk k of `range`, held in its staging buffer, on
// its stream; `runs` and `cursor` as for upload_chunk.
std::expected<void, RestoreError> upload_staged_chunk(const PipelinedBackend& backend, Staging& staging,
                                                      const ChunkRange& range, std::uint64_t k,
                                                      std::span<const CopyRun> runs, ChunkCursor& cursor);

// The shape of the checksum step a test may put in place of
// fold_and_verify_chunk_crc (testing/test_seams.h).
using ChunkCrcFold = std::expected<void, RestoreError> (*)(std::span<const std::byte> src, std::uint64_t src_base,
                                                           std::uint64_t chunk_start, std::uint64_t chunk_end,
                                                           std::span<const CopyEntry> plan,
                                                           std::span<RestoreCrcState> state);

std::expected<RestoreStats, RestoreError> restore_pipelined(const Backend& backend, const std::string& path,
                                                            const RegionResolver& resolve,
                                                            const PipelineConfig& config);

// The same restore from any source (a remote object, a buffer): the chunks
// come from the source's reads, the rest is as for a file.
std::expected<RestoreStats, RestoreError> restore_pipelined_from(const Backend& backend, const ByteSource& source,
                                                                 const RegionResolver& resolve,
                                                                 const PipelineConfig& config);

}  // namespace vesk
