// What may be opened as a snapshot to read: regular files and block
// devices, each with the length a reader finds; nothing else, and nothing
// that blocks the open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "io/readable_file.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

class ReadableFileTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vesk-readable-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(ReadableFileTest, RegularFilesOpenWithTheirLengthAndBlock) {
  const std::string p = path("snap");
  std::ofstream(p) << std::string(5000, 'x');
  auto f = open_readable_file(p);
  ASSERT_TRUE(f) << f.error().to_string();
  EXPECT_FALSE(f->direct);
  EXPECT_EQ(::fcntl(f->file.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(f->file.get(), F_GETFD) & FD_CLOEXEC, 0);
  auto len = readable_length(*f);
  ASSERT_TRUE(len);
  EXPECT_EQ(*len, 5000u);

  auto missing = open_readable_file(path("absent"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
}

// A FIFO without a writer would block an ordinary open forever.
TEST_F(ReadableFileTest, EverythingElseIsRefusedAtOnce) {
  const std::string fifo = path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string sock = path("sock");
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;

  auto r = open_readable_file(fifo);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(r.error().to_string(), fifo + " is a FIFO, not a regular file or block device");
  r = open_readable_file("/dev/null");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "/dev/null is a character device, not a regular file or block device");
  if (bound) {
    r = open_readable_file(sock);  // a socket cannot even be opened
    ASSERT_FALSE(r);
  }
  ::close(s);
  r = open_readable_file(dir_.string());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::IsADirectory);
  EXPECT_EQ(r.error().to_string(), "Is a directory (os error 21)");
}

// A loop device over a file: st_size says 0, the device says 1 MiB.
TEST_F(ReadableFileTest, BlockDevicesReportTheDeviceSize) {
  const std::string image = path("image");
  std::ofstream(image) << std::string(1 << 20, 'b');
  const std::string cmd = "losetup -f --show " + image + " 2>/dev/null";
  FILE* out = ::popen(cmd.c_str(), "r");
  ASSERT_NE(out, nullptr);
  char name[128] = {};
  const bool got = std::fgets(name, sizeof name, out) != nullptr;
  ::pclose(out);
  if (!got) GTEST_SKIP() << "no loop device can be set up here";
  std::string dev(name);
  dev.erase(dev.find_last_not_of("\n") + 1);
  struct Detach {
    std::string dev;
    ~Detach() { (void)std::system(("losetup -d " + dev).c_str()); }
  } detach{dev};

  auto f = open_readable_file(dev);
  ASSERT_TRUE(f) << f.error().to_string();
  struct stat st {};
  ASSERT_EQ(::fstat(f->file.get(), &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  auto len = readable_length(*f);
  ASSERT_TRUE(len) << len.error().to_string();
  EXPECT_EQ(*len, 1u << 20);
}

}  // namespace
}  // namespace vesk
