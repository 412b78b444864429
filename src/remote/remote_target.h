// What a snapshot URL turns into: the URL that is fetched, how requests to
// it are signed, and the name that messages use for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "io/io_error.h"
#include "remote/aws_settings.h"

namespace vesk {

struct RemoteTarget {
  std::string url;    // fetched as it is, query string included
  std::string label;  // for messages: never a query string or user info
  // Signed S3 requests ("aws:amz:REGION:s3"); empty for plain and
  // presigned URLs, which get no x-amz-* header at all.
  std::string sigv4;
  std::optional<AwsCredentials> credentials;
  std::string ca_file;  // empty: libcurl's own default
};

// s3://, http:// and https:// (the scheme in any case).
bool is_remote_url(std::string_view text);

// The URL without user info, query string and fragment.
std::string url_label(std::string_view url);

// An s3:// URL is addressed through the S3 settings (an endpoint, path or
// virtual-host style) and signed when credentials are found; an http(s)
// URL is fetched as given. The trusted certificates are the system's, or
// SSL_CERT_FILE's for any URL, AWS_CA_BUNDLE's for S3 before both.
IoResult<RemoteTarget> resolve_remote_target(const std::string& url, const EnvLookup& env);

}  // namespace vesk
