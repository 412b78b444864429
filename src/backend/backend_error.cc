#include "backend/backend_error.h"

#include <type_traits>

namespace vesk {

std::string BackendError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, AllocationFailed>) {
          return "backend allocation failed: requested " + std::to_string(e.bytes) + " bytes";
        } else if constexpr (std::is_same_v<T, SizeMismatch>) {
          return "size mismatch: region is " + std::to_string(e.region) + " bytes, host buffer is " +
                 std::to_string(e.host) + " bytes";
        } else {
          return std::string("cuda runtime error during ") + (e.op != nullptr ? e.op : "") + ": " +
                 e.status.to_string();
        }
      },
      v);
}

}  // namespace vesk
