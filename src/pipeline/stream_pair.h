// The two streams of one pipeline call. On the success path the pipeline
// waits on and destroys them explicitly and sees their errors; on every
// other path the destructor first waits on both (so no queued copy can
// still touch a staging buffer or a registration that is about to go) and
// then destroys both, ignoring what the runtime reports.
//
// Declare a StreamPair after the buffers and registrations its copies use,
// so that it is destroyed before them.
#pragma once

#include <array>
#include <expected>

#include "backend/backend.h"

namespace vesk {

class StreamPair {
 public:
  // Creates stream 0, then stream 1; when the second fails the first is
  // destroyed before the error is returned.
  static BackendResult<StreamPair> create(const PipelinedBackend& backend);

  StreamPair(StreamPair&& other) noexcept;
  StreamPair& operator=(StreamPair&&) = delete;
  StreamPair(const StreamPair&) = delete;
  ~StreamPair();

  const StreamHandle& operator[](std::size_t i) const { return streams_[i]; }

  // Waits on stream i; the error is the runtime's.
  BackendResult<void> sync(std::size_t i) const { return backend_->stream_sync(streams_[i]); }
  // Destroys stream 0, then stream 1 (both are always attempted; the first
  // error is returned). Afterwards the destructor has nothing left to do.
  BackendResult<void> destroy();

 private:
  StreamPair(const PipelinedBackend& backend, StreamHandle s0, StreamHandle s1)
      : backend_(&backend), streams_{s0, s1} {}
  const PipelinedBackend* backend_;
  std::array<StreamHandle, 2> streams_;
  bool live_ = true;
};

}  // namespace vesk
