// One HTTP response to a ranged GET, as its headers arrive, and the checks
// that decide whether its body is the bytes that were asked for. Status
// codes alone do not tell: some servers answer a range with 200 and the
// range, some with 200 and the whole object, and some ignore If-Match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "io/io_error.h"

namespace vesk {

struct ResponseHead {
  long status = 0;
  std::optional<std::string> content_range;
  std::optional<std::string> etag;
  std::optional<std::uint64_t> content_length;

  // One header line as libcurl hands it over (CRLF included); a status
  // line starts a new response (after a redirect or a 100 Continue).
  void take_line(std::string_view line);
};

struct ContentRange {
  // "bytes */N" (a refused range) leaves first and last unset.
  std::optional<std::uint64_t> first;
  std::optional<std::uint64_t> last;
  std::uint64_t total = 0;
};
std::optional<ContentRange> parse_content_range(std::string_view text);

// What one object is: learnt from the first response, then required of
// every later one, so that a restore never mixes two versions.
struct ObjectIdentity {
  std::optional<std::uint64_t> length;
  std::optional<std::string> etag;
};

// Checks a 200 or 206 response for bytes [from, to) before its body is
// taken; where the identity is still unknown, the response fills it in.
std::optional<IoError> check_range_head(const ResponseHead& head, std::uint64_t from, std::uint64_t to,
                                        ObjectIdentity& object, const std::string& label);

// 429, 500, 502, 503 and 504: the server may answer the same request
// later. Any other status is final.
bool status_is_transient(long status);

// The error for a final (or too often repeated) status; `body` is the
// start of the response body, where S3 names its reason (<Code>).
IoError status_error(const std::string& label, long status, std::string_view body);

}  // namespace vesk
