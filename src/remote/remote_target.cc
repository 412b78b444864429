#include "remote/remote_target.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace vesk {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == prefix;
}

// A key as SigV4 expects it in the path: every byte but the unreserved
// ones and '/' percent-encoded.
std::string encode_key(std::string_view key) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : key) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

IoError bad_url(std::string_view url, const std::string& why) {
  return IoError::custom(IoErrorKind::InvalidInput, url_label(url) + ": " + why);
}

// The system's trusted certificates, where the distributions keep them. A
// libcurl carried in a wheel was built on one distribution and looks only
// where that one keeps them.
std::string system_ca_bundle() {
  for (const char* path : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
                           "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", "/etc/ssl/ca-bundle.pem",
                           "/etc/ssl/cert.pem"}) {
    if (access(path, R_OK) == 0) return path;
  }
  return {};
}

}  // namespace

bool is_remote_url(std::string_view text) {
  return starts_with_nocase(text, "s3://") || starts_with_nocase(text, "http://") ||
         starts_with_nocase(text, "https://");
}

std::string url_label(std::string_view url) {
  std::string_view rest = url.substr(0, url.find_first_of("?#"));
  const auto scheme_end = rest.find("://");
  if (scheme_end == std::string_view::npos) return std::string(rest);
  const auto authority_start = scheme_end + 3;
  const auto path_start = std::min(rest.find('/', authority_start), rest.size());
  const std::string_view authority = rest.substr(authority_start, path_start - authority_start);
  const auto at = authority.rfind('@');
  std::string out(rest.substr(0, authority_start));
  out += at == std::string_view::npos ? authority : authority.substr(at + 1);
  out += rest.substr(path_start);
  return out;
}

IoResult<RemoteTarget> resolve_remote_target(const std::string& url, const EnvLookup& env) {
  RemoteTarget out;
  out.label = url_label(url);
  out.ca_file = env("SSL_CERT_FILE").value_or(system_ca_bundle());
  if (!starts_with_nocase(url, "s3://")) {
    if (!is_remote_url(url)) return std::unexpected(bad_url(url, "not an s3://, http:// or https:// URL"));
    out.url = url;
    return out;
  }

  const std::string_view rest = std::string_view(url).substr(5);
  const auto slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size())
    return std::unexpected(bad_url(url, "an S3 URL names a bucket and a key: s3://bucket/key"));
  if (rest.find_first_of("?#") != std::string_view::npos)
    return std::unexpected(bad_url(url, "an S3 URL has no query string"));
  const std::string bucket(rest.substr(0, slash));
  const std::string key = encode_key(rest.substr(slash + 1));

  const S3Settings s3 = s3_settings(env);
  if (s3.endpoint) {
    const std::string& base = *s3.endpoint;
    const auto scheme_end = base.find("://");
    if (scheme_end == std::string::npos)
      return std::unexpected(bad_url(url, "the S3 endpoint " + url_label(base) + " has no http:// or https://"));
    out.url = s3.path_style ? base + "/" + bucket + "/" + key
                            : base.substr(0, scheme_end + 3) + bucket + "." + base.substr(scheme_end + 3) + "/" + key;
  } else {
    const std::string host = "s3." + s3.region + ".amazonaws.com";
    out.url = s3.path_style ? "https://" + host + "/" + bucket + "/" + key
                            : "https://" + bucket + "." + host + "/" + key;
  }
  if (s3.credentials) {
    out.sigv4 = "aws:amz:" + s3.region + ":s3";
    out.credentials = s3.credentials;
  }
  if (!s3.ca_bundle.empty()) out.ca_file = s3.ca_bundle;
  return out;
}

}  // namespace vesk
