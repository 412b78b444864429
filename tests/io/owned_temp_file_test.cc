// The freeze's unfinished file: only a file created here is ever written
// or removed; a stale one is reclaimed, anything else at the name is left
// alone, and a file another freeze is writing is never taken over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "io/owned_temp_file.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class OwnedTempFileTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vesk-owned-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    target_ = path("a.vesk");
    tmp_ = path("a.vesk.vesk-incomplete");
    std::ofstream(target_) << "old snapshot";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  std::string target_;
  std::string tmp_;
};

TEST_F(OwnedTempFileTest, CreatesALockedFileAndReclaimsAStaleOne) {
  std::ofstream(tmp_) << "left by a crash";
  const int stale = ::open(tmp_.c_str(), O_RDONLY);
  ASSERT_GE(stale, 0);
  {
    auto f = OwnedTempFile::create(tmp_);
    ASSERT_TRUE(f) << f.error().to_string();
    EXPECT_EQ(fs::file_size(tmp_), 0u);
    EXPECT_TRUE(f->check_still_named());
    // The stale file was removed, not truncated or written.
    char buf[32] = {};
    EXPECT_EQ(::pread(stale, buf, sizeof buf, 0), 15);
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::fstat(stale, &a), 0);
    ASSERT_EQ(::fstat(f->file().file.get(), &b), 0);
    EXPECT_EQ(a.st_nlink, 0u);
    // Locked: another descriptor cannot take the lock.
    const int other = ::open(tmp_.c_str(), O_WRONLY);
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
  }
  ::close(stale);
  // Its creator gone, the file left at the name is stale in turn.
  auto again = OwnedTempFile::create(tmp_);
  ASSERT_TRUE(again) << again.error().to_string();
}

TEST_F(OwnedTempFileTest, AFileAnotherFreezeIsWritingIsNotTakenOver) {
  auto first = OwnedTempFile::create(tmp_);
  ASSERT_TRUE(first);
  ASSERT_EQ(::pwrite(first->file().file.get(), "mine", 4, 0), 4);
  auto second = OwnedTempFile::create(tmp_);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), IoErrorKind::ResourceBusy);
  EXPECT_EQ(second.error().to_string(), tmp_ + " is being written by another freeze of the same target");
  EXPECT_EQ(read_text(tmp_), "mine");
  EXPECT_TRUE(first->check_still_named());
}

TEST_F(OwnedTempFileTest, ForeignThingsAtTheNameAreLeftAlone) {
  const std::string unrelated = path("unrelated");
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* message;
  };
  const char* not_regular = " exists and is not a regular file; it is left alone";
  const Case cases[] = {
      {"symlink to the target", [&] { fs::create_symlink(target_, tmp_); }, not_regular},
      {"symlink to another file", [&] { fs::create_symlink(unrelated, tmp_); }, not_regular},
      {"dangling symlink", [&] { fs::create_symlink(path("nowhere"), tmp_); }, not_regular},
      {"hard link to the target", [&] { fs::create_hard_link(target_, tmp_); }, " has other links; it is left alone"},
      {"directory", [&] { fs::create_directories(tmp_ + "/inside"); }, not_regular},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(tmp_.c_str(), 0600), 0); }, not_regular},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(unrelated) << "unrelated";
    c.make();
    const auto type = fs::symlink_status(tmp_).type();
    auto f = OwnedTempFile::create(tmp_);
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().kind(), IoErrorKind::AlreadyExists);
    EXPECT_EQ(f.error().to_string(), tmp_ + c.message);
    EXPECT_EQ(fs::symlink_status(tmp_).type(), type);
    EXPECT_EQ(read_text(target_), "old snapshot");
    EXPECT_EQ(read_text(unrelated), "unrelated");
    fs::remove_all(tmp_);
  }
  EXPECT_FALSE(fs::exists(path("nowhere")));
}

TEST_F(OwnedTempFileTest, NoticesWhenItsNameWasTaken) {
  auto f = OwnedTempFile::create(tmp_);
  ASSERT_TRUE(f);
  std::ofstream(path("other")) << "other";
  ASSERT_EQ(::rename(path("other").c_str(), tmp_.c_str()), 0);
  auto r = f->check_still_named();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), tmp_ + " was replaced while this freeze wrote it");
  ASSERT_EQ(::unlink(tmp_.c_str()), 0);
  r = f->check_still_named();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::NotFound);
}

}  // namespace
}  // namespace vesk
