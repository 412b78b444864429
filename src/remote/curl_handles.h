// Owning handles for libcurl's objects, and the library's one-time set-up.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace vesk {

struct CurlEasyDelete {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct CurlMultiDelete {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct CurlSlistDelete {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDelete>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDelete>;

// A header list that frees itself; append() keeps the list on failure.
class CurlHeaders {
 public:
  bool append(const std::string& line);
  curl_slist* get() const { return list_.get(); }

 private:
  std::unique_ptr<curl_slist, CurlSlistDelete> list_;
};

// curl_global_init once per process, before the first handle; false where
// the library cannot start.
bool ensure_curl_ready();

}  // namespace vesk
