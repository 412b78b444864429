// A remote object read side by side from several threads, against a small
// HTTP server in the test that answers ranges (the Python tests cover the
// faults against real servers; this one runs under the sanitizers).
#include "remote/remote_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

class RangeServer {
 public:
  explicit RangeServer(std::vector<std::byte> object) : object_(std::move(object)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~RangeServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard lock(mutex_);
      for (int fd : clients_) shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : workers_) t.join();
    close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/obj?secret=1"; }
  int requests() const { return requests_; }

 private:
  void accept_loop() {
    while (!stopping_) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      clients_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    std::string in;
    char buf[4096];
    for (;;) {
      std::size_t end;
      while ((end = in.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return close_client(fd);
        in.append(buf, static_cast<std::size_t>(n));
      }
      const std::string head = in.substr(0, end);
      in.erase(0, end + 4);
      ++requests_;
      std::uint64_t first = 0, last = object_.size() - 1;
      if (const auto at = head.find("Range: bytes="); at != std::string::npos)
        std::sscanf(head.c_str() + at + 13, "%lu-%lu", &first, &last);
      const std::string reply = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                std::to_string(last) + "/" + std::to_string(object_.size()) +
                                "\r\nContent-Length: " + std::to_string(last - first + 1) + "\r\nETag: \"e1\"\r\n\r\n";
      if (!send_all(fd, reply.data(), reply.size()) || !send_all(fd, object_.data() + first, last - first + 1))
        return close_client(fd);
    }
  }

  static bool send_all(int fd, const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
      const ssize_t k = send(fd, c, n, MSG_NOSIGNAL);
      if (k <= 0) return false;
      c += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }

  void close_client(int fd) {
    std::lock_guard lock(mutex_);
    std::erase(clients_, fd);
    close(fd);
  }

  std::vector<std::byte> object_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

std::vector<std::byte> object_bytes(std::size_t n) {
  std::vector<std::byte> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>((i * 131 + (i >> 11)) & 0xFF);
  return out;
}

TEST(RemoteByteSource, ThreadsReadRangesSideBySideOnKeptConnections) {
  const auto object = object_bytes((3u << 20) + 12345);
  RangeServer server(object);
  RemoteTarget target{server.url(), url_label(server.url()), "", std::nullopt, ""};
  RemoteTunables tunables;
  tunables.connections = 3;
  tunables.range_bytes = 1u << 20;
  auto source = RemoteByteSource::open(target, tunables);
  ASSERT_TRUE(source) << source.error().to_string();
  EXPECT_EQ((*source)->length(), object.size());
  EXPECT_EQ((*source)->etag(), "\"e1\"");
  EXPECT_EQ((*source)->label(), url_label(server.url()));

  std::vector<std::vector<std::byte>> got(3, std::vector<std::byte>(object.size() - 7));
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (auto& buf : got) {
    readers.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        if (!(*source)->read_exact(buf, 7)) ++failures;
      }
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures, 0);
  for (const auto& buf : got) EXPECT_TRUE(std::equal(buf.begin(), buf.end(), object.begin() + 7));

  std::byte past[2];
  auto r = (*source)->read_exact(past, object.size() - 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(r.error().to_string().find("secret"), std::string::npos);
}

}  // namespace
}  // namespace vesk
