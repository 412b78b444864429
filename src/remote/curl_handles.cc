#include "remote/curl_handles.h"

#include <mutex>

namespace vesk {

bool CurlHeaders::append(const std::string& line) {
  curl_slist* grown = curl_slist_append(list_.get(), line.c_str());
  if (grown == nullptr) return false;
  // curl_slist_append returns the same head once the list exists.
  list_.release();
  list_.reset(grown);
  return true;
}

bool ensure_curl_ready() {
  // The library's global state is never torn down: other users of libcurl
  // in the process (or its own atexit order) may still need it.
  static std::once_flag once;
  static CURLcode code = CURLE_OK;
  std::call_once(once, [] { code = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return code == CURLE_OK;
}

}  // namespace vesk
