#include "pipeline/stream_pair.h"

namespace vesk {

BackendResult<StreamPair> StreamPair::create(const PipelinedBackend& backend) {
  auto s0 = backend.stream_create();
  if (!s0) return std::unexpected(s0.error());
  auto s1 = backend.stream_create();
  if (!s1) {
    (void)backend.stream_destroy(*s0);
    return std::unexpected(s1.error());
  }
  return StreamPair(backend, *s0, *s1);
}

StreamPair::StreamPair(StreamPair&& other) noexcept
    : backend_(other.backend_), streams_(other.streams_), live_(other.live_) {
  other.live_ = false;
}

StreamPair::~StreamPair() {
  if (!live_) return;
  // Failure path: drain before anything the copies touch is released.
  (void)backend_->stream_sync(streams_[0]);
  (void)backend_->stream_sync(streams_[1]);
  (void)backend_->stream_destroy(streams_[0]);
  (void)backend_->stream_destroy(streams_[1]);
}

BackendResult<void> StreamPair::destroy() {
  live_ = false;
  auto first = backend_->stream_destroy(streams_[0]);
  auto second = backend_->stream_destroy(streams_[1]);
  if (!first) return first;
  return second;
}

}  // namespace vesk
