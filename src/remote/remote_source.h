// A snapshot object behind an s3:// or http(s):// URL as a ByteSource: one
// read fans out into ranged GETs in flight side by side on a few kept-alive
// connections, each checked against the object's length and ETag, retried
// where the network or the server failed for a moment.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "remote/range_response.h"
#include "remote/remote_target.h"
#include "remote/remote_tunables.h"

namespace vesk {

class RemoteByteSource final : public ByteSource {
 public:
  // Asks for the object's first byte: its length and ETag from then on
  // define the object every read must come from.
  static IoResult<std::unique_ptr<RemoteByteSource>> open(RemoteTarget target, RemoteTunables tunables);
  ~RemoteByteSource() override;

  std::uint64_t length() const override { return *object_.length; }
  IoResult<void> read_exact(std::span<std::byte> buf, std::uint64_t offset) const override;
  std::string label() const override { return target_.label; }
  const std::optional<std::string>& etag() const { return object_.etag; }

  // A libcurl multi handle and its idle easy handles: the connections it
  // keeps alive serve the next read.
  struct Session;

 private:
  RemoteByteSource(RemoteTarget target, RemoteTunables tunables);
  std::unique_ptr<Session> take_session() const;
  void keep_session(std::unique_ptr<Session> session) const;

  RemoteTarget target_;
  RemoteTunables tunables_;
  ObjectIdentity object_;
  mutable std::mutex mutex_;
  mutable std::vector<std::unique_ptr<Session>> idle_;
};

// resolve_remote_target with the process environment, then open.
IoResult<std::unique_ptr<RemoteByteSource>> open_remote_source(const std::string& url);

}  // namespace vesk
