#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/direct_file.h"
#include "testing/test_seams.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

struct FreeDeleter {
  void operator()(std::byte* p) const { std::free(p); }
};

// A page-aligned buffer, as the staging buffers of the pipelines are.
struct AlignedBuffer {
  explicit AlignedBuffer(std::size_t n)
      : ptr(static_cast<std::byte*>(std::aligned_alloc(4096, n))), size(n) {}
  std::span<std::byte> span() { return {ptr.get(), size}; }
  std::unique_ptr<std::byte, FreeDeleter> ptr;
  std::size_t size;
};

void fill_pattern(std::span<std::byte> b, unsigned seed) {
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::byte>((i * 131 + seed) & 0xff);
}

std::vector<std::byte> read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(c.size());
  std::memcpy(out.data(), c.data(), c.size());
  return out;
}

void write_file(const fs::path& p, std::span<const std::byte> bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class RefuseDirect {
 public:
  RefuseDirect() { set_refuse_direct_open_for_testing(true); }
  ~RefuseDirect() { set_refuse_direct_open_for_testing(false); }
};

std::string base_dir(const std::string& which) {
  if (which == "shm") return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// Runs every case on the working disk (TMPDIR) and on tmpfs.
class DirectFileTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string templ = base_dir(GetParam()) + "/vesk-io-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr) << templ;
    dir_ = templ;
    struct statfs st {};
    ASSERT_EQ(::statfs(dir_.c_str(), &st), 0);
    tmpfs_ = st.f_type == TMPFS_MAGIC;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  bool tmpfs_ = false;
};

TEST_P(DirectFileTest, DirectWriteAndReadRoundTrip) {
  const std::string p = path("snap");
  auto w = open_direct_write(p, true, true);
  ASSERT_TRUE(w) << w.error().to_string();
  if (!w->direct) GTEST_SKIP() << dir_ << " refuses O_DIRECT";
  EXPECT_NE(::fcntl(w->file.get(), F_GETFL) & O_DIRECT, 0);
  EXPECT_NE(::fcntl(w->file.get(), F_GETFD) & FD_CLOEXEC, 0);

  AlignedBuffer out(3 * 4096);
  fill_pattern(out.span(), 7);
  ASSERT_TRUE(pwrite_exact(*w, out.span(), 4096));
  ASSERT_TRUE(fsync_file(*w));
  EXPECT_EQ(fs::file_size(p), 4 * 4096u);

  auto r = open_direct(p, true);
  ASSERT_TRUE(r) << r.error().to_string();
  ASSERT_TRUE(r->direct);
  EXPECT_NE(::fcntl(r->file.get(), F_GETFD) & FD_CLOEXEC, 0);
  AlignedBuffer in(3 * 4096);
  ASSERT_TRUE(pread_exact(*r, in.span(), 4096));
  EXPECT_EQ(std::memcmp(in.ptr.get(), out.ptr.get(), in.size), 0);

  auto one = pread_into(*r, in.span(), 8192);
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, 8192u);  // short at the end of the file

  if (tmpfs_) return;  // tmpfs serves direct reads from the page cache, unaligned too
  auto off = pread_exact(*r, in.span().first(4096), 100);
  ASSERT_FALSE(off);
  EXPECT_EQ(off.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(off.error().to_string(), "Invalid argument (os error 22)");
  // Length and address are checked where data lies (reads from the hole
  // at 0..4096 are not), so they are probed at 4096.
  auto len = pread_into(*r, in.span().first(100), 4096);
  ASSERT_FALSE(len);
  EXPECT_EQ(len.error().kind(), IoErrorKind::InvalidInput);
  auto addr = pread_exact(*r, in.span().subspan(1, 4096), 4096);
  ASSERT_FALSE(addr);
  EXPECT_EQ(addr.error().kind(), IoErrorKind::InvalidInput);
}

TEST_P(DirectFileTest, ShortFileReportsWhereEofWasHit) {
  const std::string p = path("short");
  std::vector<std::byte> content(10000);
  fill_pattern(content, 3);
  write_file(p, content);

  auto f = open_direct(p, false);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->direct);
  std::vector<std::byte> buf(8192, std::byte{0});
  auto r = pread_exact(*f, buf, 4096);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(r.error().to_string(), "pread_exact: hit EOF after 5904 of 8192 bytes at offset 4096");
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 5904, content.begin() + 4096));

  EXPECT_TRUE(pread_exact(*f, {}, 1 << 30));  // nothing to read, nothing asked of the kernel
  auto past = pread_into(*f, buf, 20000);
  ASSERT_TRUE(past);
  EXPECT_EQ(*past, 0u);
}

TEST_P(DirectFileTest, MissingFilesAreNotFoundAndNeverCreated) {
  const std::string p = path("missing");
  for (bool try_direct : {true, false}) {
    auto r = open_direct(p, try_direct);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoErrorKind::NotFound);
    EXPECT_EQ(r.error().to_string(), "No such file or directory (os error 2)");

    auto w = open_direct_write(p, try_direct, false);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().kind(), IoErrorKind::NotFound);
    EXPECT_FALSE(fs::exists(p));
  }
  auto dir = fsync_dir(path("no-such-dir"));
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().kind(), IoErrorKind::NotFound);
  EXPECT_TRUE(fsync_dir(dir_.string()));
}

TEST_P(DirectFileTest, WriteOpensTruncateOnlyWhenAsked) {
  const std::string p = path("existing");
  std::vector<std::byte> content(5000, std::byte{0x11});
  write_file(p, content);

  {
    auto keep = open_direct_write(p, false, false);
    ASSERT_TRUE(keep);
    const std::byte patch[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
    ASSERT_TRUE(pwrite_exact(*keep, patch, 10));
    auto wrong_way = pread_exact(*keep, std::span<std::byte>(content).first(1), 0);
    ASSERT_FALSE(wrong_way);  // write-only descriptor
    EXPECT_EQ(wrong_way.error().to_string(), "Bad file descriptor (os error 9)");
  }
  std::vector<std::byte> now = read_all(p);
  ASSERT_EQ(now.size(), 5000u);
  EXPECT_EQ(now[9], std::byte{0x11});
  EXPECT_EQ(now[10], std::byte{1});
  EXPECT_EQ(now[13], std::byte{0x11});

  auto emptied = open_direct_write(p, true, true);
  ASSERT_TRUE(emptied);
  EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_P(DirectFileTest, NewFilesGetMode0666LessUmask) {
  mode_t old = ::umask(022);
  auto w = open_direct_write(path("fresh"), true, true);
  auto b = open_direct_write(path("fresh-buffered"), false, true);
  ::umask(old);
  ASSERT_TRUE(w);
  ASSERT_TRUE(b);
  EXPECT_NE(::fcntl(b->file.get(), F_GETFD) & FD_CLOEXEC, 0);
  for (const char* name : {"fresh", "fresh-buffered"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
  }
}

TEST_P(DirectFileTest, TruncateChecksRangeBeforeCalling) {
  const std::string p = path("trunc");
  std::vector<std::byte> content(3000, std::byte{0x42});
  write_file(p, content);
  auto f = open_direct_write(p, false, false);
  ASSERT_TRUE(f);

  auto big = truncate(*f, std::uint64_t{1} << 63);
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(big.error().to_string(), "out of range integral type conversion attempted");
  EXPECT_EQ(read_all(p), content);

  ASSERT_TRUE(truncate(*f, 5000));
  EXPECT_EQ(fs::file_size(p), 5000u);
  ASSERT_TRUE(truncate(*f, 0));
  EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_P(DirectFileTest, RefusedDirectOpenFallsBackToPlainDescriptor) {
  const std::string p = path("fallback");
  RefuseDirect refuse;
  EXPECT_FALSE(try_open_direct_write(p, true));
  EXPECT_FALSE(fs::exists(p));  // a refused attempt leaves nothing behind

  auto w = open_direct_write(p, true, true);
  ASSERT_TRUE(w) << w.error().to_string();
  EXPECT_FALSE(w->direct);
  EXPECT_EQ(::fcntl(w->file.get(), F_GETFL) & O_DIRECT, 0);
  // Unaligned everything goes through the plain descriptor.
  std::vector<std::byte> out(777);
  fill_pattern(out, 9);
  ASSERT_TRUE(pwrite_exact(*w, out, 13));
  ASSERT_TRUE(fsync_file(*w));

  EXPECT_FALSE(try_open_direct(p));
  auto r = open_direct(p, true);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->direct);
  std::vector<std::byte> in(777);
  ASSERT_TRUE(pread_exact(*r, in, 13));
  EXPECT_EQ(in, out);

  auto missing = open_direct(path("absent"), true);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), IoErrorKind::NotFound);
}

// A signal that interrupts a transfer before it moves anything (EINTR) is
// no failure: the transfer is repeated.
TEST_P(DirectFileTest, InterruptedTransfersAreRepeated) {
  const std::string p = path("interrupted");
  auto w = open_direct_write(p, false, true);
  ASSERT_TRUE(w);
  std::vector<std::byte> out(5000);
  fill_pattern(out, 5);
  inject_transfer_interrupts_for_testing(3);
  ASSERT_TRUE(pwrite_exact(*w, out, 0));
  inject_transfer_interrupts_for_testing(2);
  auto one = pwrite_from(*w, std::span<const std::byte>(out).first(10), 0);
  ASSERT_TRUE(one) << one.error().to_string();
  EXPECT_EQ(*one, 10u);

  auto r = open_direct(p, false);
  ASSERT_TRUE(r);
  std::vector<std::byte> in(5000);
  inject_transfer_interrupts_for_testing(3);
  ASSERT_TRUE(pread_exact(*r, in, 0));
  EXPECT_EQ(in, out);
  inject_transfer_interrupts_for_testing(1);
  auto got = pread_into(*r, in, 4000);
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(*got, 1000u);
  inject_transfer_interrupts_for_testing(0);
}

// A reopened descriptor reads the file that was open, not whatever the path
// names by then.
TEST_P(DirectFileTest, ReopeningStaysOnTheOpenedFile) {
  const std::string p = path("snap");
  const std::string other = path("other");
  std::vector<std::byte> first(8192);
  std::vector<std::byte> second(8192);
  fill_pattern(first, 1);
  fill_pattern(second, 2);
  write_file(p, first);
  write_file(other, second);
  auto f = open_direct(p, false);
  ASSERT_TRUE(f);
  ASSERT_EQ(::rename(other.c_str(), p.c_str()), 0);

  for (const bool refuse : {false, true}) {
    std::optional<RefuseDirect> no_direct;
    if (refuse) no_direct.emplace();
    auto again = reopen_direct(*f, O_RDONLY, true);
    ASSERT_TRUE(again) << again.error().to_string();
    if (refuse) {
      EXPECT_FALSE(again->direct);
    }
    EXPECT_EQ((::fcntl(again->file.get(), F_GETFL) & O_DIRECT) != 0, again->direct);
    AlignedBuffer in(8192);
    ASSERT_TRUE(pread_exact(*again, in.span(), 0));
    EXPECT_EQ(std::memcmp(in.ptr.get(), first.data(), first.size()), 0) << "refuse direct: " << refuse;
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, DirectFileTest, testing::Values("tmpdir", "shm"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vesk
