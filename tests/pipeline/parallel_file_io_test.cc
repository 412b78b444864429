#include "pipeline/parallel_file_io.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>

#include "pipeline/freeze.h"
#include "pipeline/restore_file.h"
#include "pipeline_test_util.h"
#include "testing/test_seams.h"

namespace vesk::test {
namespace {

constexpr std::uint64_t kPiece = 4096;

std::span<std::byte> bytes_of(std::vector<std::uint8_t>& v) { return std::as_writable_bytes(std::span(v)); }
std::span<const std::byte> bytes_of(const std::vector<std::uint8_t>& v) { return std::as_bytes(std::span(v)); }

bool on_memory_file_system(const std::string& path) {
  struct statfs st {};
  return ::statfs(path.c_str(), &st) == 0 && (st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC);
}

std::string describe(const IoResult<void>& r) {
  if (r) return "ok";
  return std::string(io_error_kind_name(r.error().kind())) + ": " + r.error().to_string();
}

// What the piece hook does: fail chosen pieces, count the others, and note
// whether any piece ran off the calling thread. Written from the pieces'
// threads, hence atomics.
struct HookState {
  std::atomic<bool> write{false};
  std::atomic<int> fail_errno{0};
  std::atomic<std::uint64_t> fail_index{~std::uint64_t{0}};
  std::atomic<std::uint64_t> second_fail_index{~std::uint64_t{0}};
  std::atomic<int> second_errno{0};
  std::atomic<int> first_fail_delay_ms{0};  // the first failing piece fails late
  std::atomic<std::uint64_t> fail_from_offset{0};  // only pieces at or after this file offset fail
  std::atomic<bool> fail_direct_only{false};
  std::atomic<int> direct_pieces{0};
  std::atomic<int> buffered_pieces{0};
  std::atomic<int> off_thread{0};
  std::thread::id caller;
};
HookState g_hook;

std::optional<IoError> hook(const PieceTransfer& p) {
  if (p.write != g_hook.write.load()) return std::nullopt;
  (p.direct ? g_hook.direct_pieces : g_hook.buffered_pieces)++;
  if (std::this_thread::get_id() != g_hook.caller) g_hook.off_thread++;
  const bool eligible = p.offset >= g_hook.fail_from_offset.load() && (p.direct || !g_hook.fail_direct_only.load());
  if (eligible && p.index == g_hook.fail_index.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_hook.first_fail_delay_ms.load()));
    return IoError::from_errno(g_hook.fail_errno.load());
  }
  if (eligible && p.index == g_hook.second_fail_index.load()) return IoError::from_errno(g_hook.second_errno.load());
  return std::nullopt;
}

class PieceHook {
 public:
  PieceHook(bool write, int fail_errno = 0, std::uint64_t fail_index = ~std::uint64_t{0}) {
    g_hook.write = write;
    g_hook.fail_errno = fail_errno;
    g_hook.fail_index = fail_index;
    g_hook.second_fail_index = ~std::uint64_t{0};
    g_hook.first_fail_delay_ms = 0;
    g_hook.fail_from_offset = 0;
    g_hook.fail_direct_only = false;
    g_hook.direct_pieces = 0;
    g_hook.buffered_pieces = 0;
    g_hook.off_thread = 0;
    g_hook.caller = std::this_thread::get_id();
    set_piece_fault_for_testing(&hook);
  }
  ~PieceHook() { set_piece_fault_for_testing(nullptr); }
  PieceHook(const PieceHook&) = delete;
  PieceHook& operator=(const PieceHook&) = delete;
};

struct RefuseThreads {
  RefuseThreads() { set_refuse_piece_threads_for_testing(true); }
  ~RefuseThreads() { set_refuse_piece_threads_for_testing(false); }
};

class PieceIoTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // A file of `len` pattern bytes, and that pattern.
  std::vector<std::uint8_t> make_file(const std::string& path, std::size_t len) {
    auto bytes = pattern_bytes(len, 5);
    write_file(path, bytes);
    return bytes;
  }

  // A direct descriptor where this file system takes one; else nullopt.
  static std::optional<DirectFile> direct_open(const std::string& path) {
    auto f = open_direct(path, true);
    if (!f || !f->direct) return std::nullopt;
    return std::move(*f);
  }

  TempDir dir_;
};

// Reads of every position relative to the end of the file give what one
// pread_exact of the whole range gives: the same bytes, or the same error
// with the same counts (EOF counted from the start of the range, even when
// the first piece past the end is not the first piece).
TEST_F(PieceIoTest, ReadsMatchOneSequentialRead) {
  const std::string path = dir_.file("f");
  const std::size_t file_len = 10 * kPiece + 100;
  const auto content = make_file(path, file_len);
  auto f = open_direct(path, false);
  ASSERT_TRUE(f);

  struct Range {
    std::uint64_t offset, len;
  };
  const Range ranges[] = {
      {0, file_len},               // ends exactly at the end, last piece short
      {kPiece, 9 * kPiece + 100},  // the same from a later start
      {0, 10 * kPiece},            // ends on a piece boundary before the end
      {0, file_len + 1},           // one byte past the end
      {0, 11 * kPiece},            // the last piece holds the end
      {0, 12 * kPiece + 100},      // a whole piece past the end
      {2 * kPiece, 12 * kPiece},   // several pieces past the end
      {file_len, 3 * kPiece},      // starts at the end
      {file_len + 5000, 100},      // starts past the end
      {0, 100},                    // shorter than a piece
      {0, 0},                      // empty, past nothing
  };
  for (const std::uint32_t depth : {1u, 2u, 3u, 4u, 16u}) {
    for (const auto& range : ranges) {
      SCOPED_TRACE("depth " + std::to_string(depth) + ", offset " + std::to_string(range.offset) + ", len " +
                   std::to_string(range.len));
      std::vector<std::uint8_t> expected(range.len, 0xEE), got(range.len, 0xEE);
      const auto want = pread_exact(*f, bytes_of(expected), range.offset);
      const auto r = pread_pieces(*f, bytes_of(got), range.offset, IoPieces{depth, kPiece});
      EXPECT_EQ(describe(r), describe(want));
      if (want) {
        EXPECT_EQ(got, expected);
      }
    }
  }
  // The one-byte-short case spelled out.
  std::vector<std::uint8_t> buf(file_len + 1);
  const auto r = pread_pieces(*f, bytes_of(buf), 0, IoPieces{4, kPiece});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(r.error().to_string(), "pread_exact: hit EOF after 41060 of 41061 bytes at offset 0");
  EXPECT_TRUE(std::equal(content.begin(), content.end(), buf.begin()));
}

// The error of the lowest failing piece wins, whichever thread met it and
// even when a later piece failed first; the pieces before it were read in
// full.
TEST_F(PieceIoTest, LowestFailingPieceIsReported) {
  const std::string path = dir_.file("f");
  const auto content = make_file(path, 10 * kPiece);
  auto f = open_direct(path, false);
  ASSERT_TRUE(f);
  for (const std::uint32_t depth : {1u, 3u, 4u, 10u}) {
    SCOPED_TRACE("depth " + std::to_string(depth));
    const PieceHook seam(false, ENOSPC, 2);
    g_hook.second_fail_index = 5;
    g_hook.second_errno = EIO;
    g_hook.first_fail_delay_ms = 20;
    std::vector<std::uint8_t> buf(content.size());
    const auto r = pread_pieces(*f, bytes_of(buf), 0, IoPieces{depth, kPiece});
    if (depth == 1) {  // one request: a single piece 0, which does not fail
      EXPECT_TRUE(r);
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoErrorKind::StorageFull);
    EXPECT_EQ(r.error().os_errno(), ENOSPC);
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + 2 * kPiece, buf.begin()));
  }
}

// Depth 1 is the whole range in one request, whatever the piece size.
TEST_F(PieceIoTest, DepthOneIsOneRequest) {
  const std::string path = dir_.file("f");
  const auto content = make_file(path, 10 * kPiece);
  auto f = open_direct(path, false);
  ASSERT_TRUE(f);
  const PieceHook seam(false);
  std::vector<std::uint8_t> buf(content.size());
  ASSERT_TRUE(pread_pieces(*f, bytes_of(buf), 0, IoPieces{1, kPiece}));
  EXPECT_EQ(g_hook.buffered_pieces.load(), 1);
  EXPECT_EQ(g_hook.off_thread.load(), 0);
  EXPECT_EQ(buf, content);
}

// Writes land exactly where asked, in pieces off the calling thread, or all
// on it when no thread can be started; a failing third piece is the error.
TEST_F(PieceIoTest, WritesInPiecesAndWithoutThreads) {
  const auto content = pattern_bytes(7 * kPiece + 1234, 9);
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "threads refused" : "threads");
    std::optional<RefuseThreads> no_threads;
    if (refuse) no_threads.emplace();
    const std::string path = dir_.file(refuse ? "w1" : "w0");
    auto f = open_direct_write(path, false, true);
    ASSERT_TRUE(f);
    {
      const PieceHook seam(true);
      ASSERT_TRUE(pwrite_pieces(*f, bytes_of(content), kPiece, IoPieces{3, kPiece}));
      EXPECT_EQ(g_hook.buffered_pieces.load(), 8);
      if (refuse) {
        EXPECT_EQ(g_hook.off_thread.load(), 0);
      } else {
        EXPECT_GT(g_hook.off_thread.load(), 0);
      }
    }
    auto file = read_file(path);
    ASSERT_EQ(file.size(), kPiece + content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), file.begin() + kPiece));

    const PieceHook seam(true, EIO, 2);
    const auto r = pwrite_pieces(*f, bytes_of(content), 0, IoPieces{3, kPiece});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), IoError::from_errno(EIO).to_string());
  }
}

TEST_F(PieceIoTest, DirectReadsAndWritesInPieces) {
  const std::string path = dir_.file("d");
  auto w = open_direct_write(path, true, true);
  ASSERT_TRUE(w);
  if (!w->direct) GTEST_SKIP() << "this file system refuses O_DIRECT";
  const RealCuda cuda;
  auto buf = cuda.alloc_pinned(16 * kPiece);
  ASSERT_TRUE(buf);
  const auto content = pattern_bytes(16 * kPiece, 3);
  std::memcpy(buf->data(), content.data(), content.size());
  ASSERT_TRUE(pwrite_pieces(*w, buf->as_slice(), 0, IoPieces{4, 2 * kPiece}));
  EXPECT_EQ(read_file(path), content);

  auto r = direct_open(path);
  ASSERT_TRUE(r);
  std::memset(buf->data(), 0, content.size());
  ASSERT_TRUE(pread_pieces(*r, buf->as_mut_slice(), 0, IoPieces{4, 2 * kPiece}));
  EXPECT_EQ(std::memcmp(buf->data(), content.data(), content.size()), 0);
  // A direct read that runs a block past the end: the same EOF as one read.
  const auto want = pread_exact(*r, buf->as_mut_slice().first(16 * kPiece), 4 * kPiece);
  const auto got = pread_pieces(*r, buf->as_mut_slice().first(16 * kPiece), 4 * kPiece, IoPieces{4, 2 * kPiece});
  EXPECT_EQ(describe(got), describe(want));
  EXPECT_EQ(describe(got), "UnexpectedEof: pread_exact: hit EOF after 49152 of 65536 bytes at offset 16384");
}

TEST_F(PieceIoTest, MemoryFileSystemsAndBufferedWritesGoAsOneRequest) {
  const IoPieces wanted{4, kPiece};
  TempDir shm("/dev/shm");
  ASSERT_TRUE(shm.ok());
  write_file(shm.file("f"), {1, 2, 3});
  for (const bool direct : {false, true}) {
    auto f = open_direct(shm.file("f"), direct);
    ASSERT_TRUE(f);
    EXPECT_EQ(read_pieces_for(*f, wanted), IoPieces::one_request());
    auto w = open_direct_write(shm.file("f"), direct, false);
    ASSERT_TRUE(w);
    EXPECT_EQ(write_pieces_for(*w, wanted), IoPieces::one_request());
  }
  const std::string path = dir_.file("f");
  write_file(path, {1, 2, 3});
  auto w = open_direct_write(path, false, false);
  ASSERT_TRUE(w);
  EXPECT_EQ(write_pieces_for(*w, wanted), IoPieces::one_request());
  if (on_memory_file_system(path)) return;
  auto f = open_direct(path, false);
  ASSERT_TRUE(f);
  EXPECT_EQ(read_pieces_for(*f, wanted), wanted);
  auto wd = open_direct_write(path, true, false);
  ASSERT_TRUE(wd);
  if (wd->direct) {
    EXPECT_EQ(write_pieces_for(*wd, wanted), wanted);
  }
}

// The pipelines with small chunks cut into pieces: the frozen file is the
// one the one-request design writes, and restores exactly; failures in a
// piece come out as a single transfer's would, with everything cleaned up.
class PiecePipelineTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    ASSERT_TRUE(dir_.ok());
    target_ = dir_.file("snap.vesk");
    write_file(target_, old_contents_);
  }

  FreezeConfig freeze_config(IoPieces pieces) const {
    FreezeConfig c{std::nullopt, kChunk, true};
    c.io_pieces = pieces;
    return c;
  }
  PipelineConfig restore_config(IoPieces pieces, bool direct = true) const {
    PipelineConfig c{kChunk, direct};
    c.io_pieces = pieces;
    return c;
  }

  std::expected<FreezeStats, FreezeError> freeze(IoPieces pieces, const std::string& path) {
    return freeze_pipelined_to_file(cuda_, requests_for(regions_), freeze_config(pieces), path);
  }
  std::expected<RestoreStats, RestoreError> restore(IoPieces pieces, const std::string& path, bool direct = true) {
    blank_ = blank_like(regions_);
    return restore_pipelined(cuda_, path, resolver_for(blank_), restore_config(pieces, direct));
  }
  // Whether this file system takes O_DIRECT, and whether the pipelines
  // cut chunks into pieces on it.
  bool disk_takes_direct() const {
    auto f = open_direct(target_, true);
    return f && f->direct;
  }
  bool writes_in_pieces() const {
    auto f = open_direct_write(target_, true, false);
    return f && write_pieces_for(*f, kPieces) == kPieces;
  }
  bool direct_reads_in_pieces() const {
    auto f = open_direct(target_, true);
    return f && f->direct && read_pieces_for(*f, kPieces) == kPieces;
  }

  static constexpr std::uint64_t kChunk = 16 * kPiece;
  static constexpr IoPieces kPieces{3, kPiece};  // four full pieces per chunk on three threads
  TempDir dir_;
  std::string target_;
  const std::vector<std::uint8_t> old_contents_ = pattern_bytes(5000, 99);
  // Prelude 4192 bytes, file 213992 bytes. The restore reads from 4096:
  // three full chunks and a last one of 13288 bytes (three pieces and 1000
  // bytes), which ends off a block boundary.
  const std::vector<HostRegion> regions_ = make_regions({70000, 100000, 39800});
  std::vector<HostRegion> blank_;
};

TEST_F(PiecePipelineTest, SameFileAsOneRequestAndExactRestore) {
  for (const bool refuse_direct : {false, true}) {
    SCOPED_TRACE(refuse_direct ? "direct refused" : "direct");
    set_refuse_direct_open_for_testing(refuse_direct);
    ASSERT_TRUE(freeze(IoPieces::one_request(), dir_.file("one.vesk")));
    {
      const PieceHook seam(true);
      ASSERT_TRUE(freeze(kPieces, target_));
      if (!refuse_direct && writes_in_pieces()) {
        EXPECT_GT(g_hook.off_thread.load(), 0);
      }
    }
    EXPECT_EQ(read_file(target_), read_file(dir_.file("one.vesk")));
    EXPECT_FALSE(path_exists(tmp_path_for(target_)));
    for (const IoPieces pieces : {kPieces, IoPieces{16, kPiece}, IoPieces{2, 3 * kPiece}}) {
      auto r = restore(pieces, target_, !refuse_direct);
      ASSERT_TRUE(r) << r.error().message();
      for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank_[i].bytes, regions_[i].bytes) << "region " << i;
    }
    {  // no piece thread can be started: every piece is moved on the calling thread
      const RefuseThreads no_threads;
      ASSERT_TRUE(freeze(kPieces, target_));
      EXPECT_EQ(read_file(target_), read_file(dir_.file("one.vesk")));
      auto r = restore(kPieces, target_, !refuse_direct);
      ASSERT_TRUE(r) << r.error().message();
      for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank_[i].bytes, regions_[i].bytes) << "region " << i;
    }
    expect_quiet();
  }
}

// A runtime whose page-locked memory is only 256-byte aligned: the staging
// buffers stay aligned for direct I/O, so every chunk moves exactly as it
// does with page-aligned memory. A misaligned direct transfer is refused by
// the kernel and silently redone buffered, which the counts would show.
TEST_F(PiecePipelineTest, ShallowlyAlignedAllocatorChangesNoTransfer) {
  if (!disk_takes_direct()) GTEST_SKIP() << "this file system does not take O_DIRECT";
  auto counts = [&](unsigned alignment) {
    standin_reset();
    empty_staging_caches();
    standin_set_pinned_alignment(alignment);
    std::array<int, 4> out{};
    {
      const PieceHook seam(true);
      auto r = freeze(kPieces, target_);
      EXPECT_TRUE(r) << r.error().message();
      out[0] = g_hook.direct_pieces.load();
      out[1] = g_hook.buffered_pieces.load();
    }
    {
      const PieceHook seam(false);
      auto r = restore(kPieces, target_);
      EXPECT_TRUE(r) << r.error().message();
      out[2] = g_hook.direct_pieces.load();
      out[3] = g_hook.buffered_pieces.load();
    }
    for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank_[i].bytes, regions_[i].bytes) << "region " << i;
    EXPECT_GT(standin_calls("cudaMallocHost") + standin_calls("cudaHostAlloc"), 0) << "no buffer was allocated";
    return out;
  };
  const auto page_aligned = counts(0);
  EXPECT_GT(page_aligned[0], 0);
  EXPECT_GT(page_aligned[2], 0);
  EXPECT_EQ(counts(256), page_aligned) << "direct writes, buffered writes, direct reads, buffered reads";
}

// A file one byte or one piece shorter than its table says: the restore
// fails with the end-of-file message of one read of the last chunk (its
// offset, its length, the bytes that were there), as the one-request design
// reports it.
TEST_F(PiecePipelineTest, ShortFileReportsTheChunksEof) {
  ASSERT_TRUE(freeze(kPieces, target_));
  const auto full = read_file(target_);
  const std::uint64_t last_start = 4096 + 3 * kChunk;  // read_start 4096
  const std::uint64_t needed = full.size() - last_start;
  for (const std::uint64_t cut : {std::uint64_t{1}, kPiece}) {
    write_file(target_, std::vector<std::uint8_t>(full.begin(), full.end() - static_cast<long>(cut)));
    for (const bool direct : {true, false}) {
      SCOPED_TRACE("cut " + std::to_string(cut) + (direct ? ", direct" : ", buffered"));
      const std::string expected = "snapshot parse failed: i/o error during snapshot prelude: UnexpectedEof: "
                                   "pread_exact: hit EOF after " + std::to_string(needed - cut) + " of " +
                                   std::to_string(needed) + " bytes at offset " + std::to_string(last_start);
      auto one = restore(IoPieces::one_request(), target_, direct);
      ASSERT_FALSE(one);
      EXPECT_EQ(one.error().message(), expected);
      auto r = restore(kPieces, target_, direct);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message(), expected);
      expect_clean_failure(0);
    }
  }
}

// A payload that ends on a block boundary: the last chunk's direct pieces
// end exactly at the end of the file, and nothing is read a second time.
TEST_F(PiecePipelineTest, PiecesEndingAtTheEndOfTheFile) {
  // Prelude 4096 + 64 bytes; the payload ends at 4096 + 65536 + 8192.
  const auto regions = make_regions({40000, 77824 - 4160 - 40000});
  std::vector<HostRegion> blank = blank_like(regions);
  ASSERT_TRUE(freeze_pipelined_to_file(cuda_, requests_for(regions), freeze_config(kPieces), target_));
  ASSERT_EQ(read_file(target_).size(), 77824u);
  const PieceHook seam(false);
  auto r = restore_pipelined(cuda_, target_, resolver_for(blank), restore_config(kPieces));
  ASSERT_TRUE(r) << r.error().message();
  for (std::size_t i = 0; i < regions.size(); ++i) EXPECT_EQ(blank[i].bytes, regions[i].bytes);
  if (direct_reads_in_pieces()) {
    // 65536 + 8192 bytes in 4096-byte pieces, each read once: direct, or
    // through the cache where the prelude's read-ahead already brought them.
    EXPECT_EQ(g_hook.buffered_pieces.load() + g_hook.direct_pieces.load(), 18) << "a read was repeated";
  }
}

// An I/O error in the third piece of the second chunk fails the freeze with
// that error: no unfinished file, the target untouched, nothing leaked.
TEST_F(PiecePipelineTest, FreezeFailsOnThirdPiece) {
  if (!writes_in_pieces()) GTEST_SKIP() << "no pieces on this file system";
  const PieceHook seam(true, EIO, 2);
  g_hook.fail_from_offset = kChunk;
  auto r = freeze(kPieces, target_);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "snapshot error during freeze: i/o error during snapshot prelude: Uncategorized: " +
                                     IoError::from_errno(EIO).to_string());
  EXPECT_FALSE(path_exists(tmp_path_for(target_)));
  EXPECT_EQ(read_file(target_), old_contents_);
  expect_clean_failure(0);
}

// A direct write refused (EINVAL) in its third piece: that chunk is written
// again through the plain descriptor, and the freeze goes on.
TEST_F(PiecePipelineTest, RefusedDirectPieceIsRewrittenBuffered) {
  if (!writes_in_pieces()) GTEST_SKIP() << "no direct pieces on this file system";
  ASSERT_TRUE(freeze(IoPieces::one_request(), dir_.file("one.vesk")));
  const PieceHook seam(true, EINVAL, 2);
  g_hook.fail_direct_only = true;
  g_hook.fail_from_offset = kChunk;
  auto r = freeze(kPieces, target_);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(read_file(target_), read_file(dir_.file("one.vesk")));
  EXPECT_EQ(g_hook.buffered_pieces.load(), 3) << "the chunks from the second on, each in one request";
}

// The same for the restore: an I/O error in a third piece is the restore's
// error; a refused direct piece is read again through the plain descriptor.
TEST_F(PiecePipelineTest, RestoreFailuresInThirdPiece) {
  if (!direct_reads_in_pieces()) GTEST_SKIP() << "no direct pieces on this file system";
  ASSERT_TRUE(freeze(kPieces, target_));
  standin_reset();
  standin_set_delay_us(2000);  // the previous chunk's copies are still queued
  {
    const PieceHook seam(false, EIO, 2);
    g_hook.fail_from_offset = 4096 + kChunk;
    auto r = restore(kPieces, target_);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "snapshot parse failed: i/o error during snapshot prelude: Uncategorized: " +
                                       IoError::from_errno(EIO).to_string());
    expect_clean_failure(0);
  }
  standin_set_delay_us(kStandinDefaultDelayUs);
  const PieceHook seam(false, EINVAL, 2);
  g_hook.fail_direct_only = true;
  auto r = restore(kPieces, target_);
  ASSERT_TRUE(r) << r.error().message();
  for (std::size_t i = 0; i < regions_.size(); ++i) EXPECT_EQ(blank_[i].bytes, regions_[i].bytes) << "region " << i;
  EXPECT_GT(g_hook.buffered_pieces.load(), 0);
}

}  // namespace
}  // namespace vesk::test
