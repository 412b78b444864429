#include "remote/range_response.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vesk {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::ranges::equal(a, b, [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::uint64_t> number(std::string_view s) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::string range_text(std::uint64_t from, std::uint64_t to) {
  return "bytes " + std::to_string(from) + "-" + std::to_string(to - 1);
}

IoError mismatch(const std::string& label, const std::string& what) {
  return IoError::custom(IoErrorKind::InvalidData, label + ": " + what);
}

// The S3 error code of an XML error body, e.g. "SignatureDoesNotMatch".
std::string s3_code(std::string_view body) {
  const auto open = body.find("<Code>");
  if (open == std::string_view::npos) return {};
  const auto start = open + 6;
  const auto close = body.find("</Code>", start);
  if (close == std::string_view::npos || close - start > 64) return {};
  std::string code(body.substr(start, close - start));
  // Only a plain identifier is repeated in a message.
  if (!std::ranges::all_of(code, [](unsigned char c) { return std::isalnum(c) != 0; })) return {};
  return code;
}

}  // namespace

void ResponseHead::take_line(std::string_view line) {
  line = trim(line);
  if (line.starts_with("HTTP/")) {
    *this = ResponseHead{};
    const auto sp = line.find(' ');
    if (sp != std::string_view::npos) {
      if (auto code = number(line.substr(sp + 1, 3))) status = static_cast<long>(*code);
    }
    return;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = trim(line.substr(0, colon));
  const std::string_view value = trim(line.substr(colon + 1));
  if (same_name(name, "content-range")) content_range = std::string(value);
  else if (same_name(name, "etag")) etag = std::string(value);
  else if (same_name(name, "content-length")) content_length = number(value);
}

std::optional<ContentRange> parse_content_range(std::string_view text) {
  text = trim(text);
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  const auto slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  ContentRange out;
  const auto total = number(text.substr(slash + 1));
  if (!total) return std::nullopt;
  out.total = *total;
  const std::string_view span = text.substr(0, slash);
  if (span == "*") return out;
  const auto dash = span.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  out.first = number(span.substr(0, dash));
  out.last = number(span.substr(dash + 1));
  if (!out.first || !out.last || *out.last < *out.first || *out.last >= out.total) return std::nullopt;
  return out;
}

std::optional<IoError> check_range_head(const ResponseHead& head, std::uint64_t from, std::uint64_t to,
                                        ObjectIdentity& object, const std::string& label) {
  const bool first_response = !object.length.has_value();
  if (head.etag && object.etag && *head.etag != *object.etag)
    return mismatch(label, "the object changed while it was read (ETag " + *object.etag + " became " + *head.etag +
                               ")");
  const std::uint64_t asked = to - from;
  if (head.content_range) {
    const auto range = parse_content_range(*head.content_range);
    if (!range || !range->first || *range->first != from || *range->last != to - 1 ||
        (object.length && range->total != *object.length))
      return mismatch(label, "asked for " + range_text(from, to) +
                                 (object.length ? std::string("/") + std::to_string(*object.length) : std::string()) +
                                 ", the server answered Content-Range: " + *head.content_range);
    if (head.content_length && *head.content_length != asked)
      return mismatch(label, "asked for " + std::to_string(asked) + " bytes, the server announced " +
                                 std::to_string(*head.content_length));
    object.length = range->total;
  } else {
    // Without Content-Range the body is the whole object: the bytes asked
    // for only where they are the whole object.
    if (head.status != 200 || from != 0 || !head.content_length || *head.content_length != asked ||
        (object.length && *object.length != asked))
      return mismatch(label, "the server ignored the range request (HTTP " + std::to_string(head.status) +
                                 " without Content-Range for " + range_text(from, to) + ")");
    object.length = asked;
  }
  if (first_response && !object.etag) object.etag = head.etag;
  return std::nullopt;
}

bool status_is_transient(long status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

IoError status_error(const std::string& label, long status, std::string_view body) {
  const std::string code = s3_code(body);
  const std::string detail = "HTTP " + std::to_string(status) + (code.empty() ? "" : ", " + code);
  switch (status) {
    case 401:
    case 403: return IoError::custom(IoErrorKind::PermissionDenied, label + ": access denied (" + detail + ")");
    case 404: return IoError::custom(IoErrorKind::NotFound, label + ": no such object (" + detail + ")");
    case 412:
      return IoError::custom(IoErrorKind::InvalidData,
                             label + ": the object changed while it was read (" + detail + " on If-Match)");
    default: return IoError::custom(IoErrorKind::Other, label + ": the server answered " + detail);
  }
}

}  // namespace vesk
