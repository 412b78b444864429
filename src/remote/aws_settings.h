// S3 settings read the way the standard command-line tools read them: the
// AWS_* environment variables first, then the profile's entries in the
// shared credentials and config files.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vesk {

struct AwsCredentials {
  std::string access_key;
  std::string secret_key;
  std::string session_token;  // empty without one
};

struct S3Settings {
  // None found: requests go unsigned (anonymous access).
  std::optional<AwsCredentials> credentials;
  std::string region = "us-east-1";
  // An S3-compatible store's base URL, e.g. http://127.0.0.1:9000.
  std::optional<std::string> endpoint;
  // Bucket in the path rather than in the host name: the default with an
  // endpoint, which may not have a name per bucket.
  bool path_style = false;
  std::string ca_bundle;  // empty: the system's certificates
};

// Returns the value of an environment variable, or nothing.
using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;
EnvLookup process_environment();

S3Settings s3_settings(const EnvLookup& env);

}  // namespace vesk
