// The lower layers' errors as the errors of a freeze or a restore. Both
// outer errors carry them in alternatives of the same names, so each
// wrapping has one name for both: `io_err<RestoreError>(e)`.
#pragma once

#include <utility>

#include "backend/backend_error.h"
#include "format/snapshot.h"
#include "io/io_error.h"

namespace vesk {

template <typename Outer>
Outer snapshot_err(SnapshotError e) {
  return Outer{typename Outer::Snapshot{std::move(e)}};
}

template <typename Outer>
Outer io_err(const IoError& e) {
  return snapshot_err<Outer>(SnapshotError::from_io(e));
}

template <typename Outer>
Outer backend_err(BackendError e) {
  return Outer{typename Outer::Backend{std::move(e)}};
}

}  // namespace vesk
