#include "remote/aws_settings.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace vesk {

namespace {

using IniSection = std::map<std::string, std::string>;

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// One section of an INI file as the tools write them ("key = value" lines
// under "[section]"); empty where the file or the section is missing.
IniSection ini_section(const std::string& path, const std::string& wanted) {
  IniSection out;
  std::ifstream in(path);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      inside = trimmed(line.substr(1, line.size() - 2)) == wanted;
      continue;
    }
    const auto eq = line.find('=');
    if (inside && eq != std::string::npos) out[trimmed(line.substr(0, eq))] = trimmed(line.substr(eq + 1));
  }
  return out;
}

std::optional<std::string> first_set(const EnvLookup& env, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (auto v = env(name); v && !v->empty()) return v;
  }
  return std::nullopt;
}

std::optional<std::string> entry(const IniSection& section, const std::string& key) {
  const auto it = section.find(key);
  if (it == section.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

}  // namespace

EnvLookup process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* v = std::getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  };
}

S3Settings s3_settings(const EnvLookup& env) {
  S3Settings out;
  const std::string home = env("HOME").value_or("");
  const std::string profile = first_set(env, {"AWS_PROFILE", "AWS_DEFAULT_PROFILE"}).value_or("default");
  const IniSection creds_file = ini_section(
      first_set(env, {"AWS_SHARED_CREDENTIALS_FILE"}).value_or(home + "/.aws/credentials"), profile);
  const IniSection config_file = ini_section(first_set(env, {"AWS_CONFIG_FILE"}).value_or(home + "/.aws/config"),
                                             profile == "default" ? profile : "profile " + profile);

  // Keys come as a pair from one place: the environment or else the file.
  if (auto key = first_set(env, {"AWS_ACCESS_KEY_ID"}), secret = first_set(env, {"AWS_SECRET_ACCESS_KEY"});
      key && secret) {
    out.credentials = AwsCredentials{*key, *secret, first_set(env, {"AWS_SESSION_TOKEN"}).value_or("")};
  } else if (auto fkey = entry(creds_file, "aws_access_key_id"), fsecret = entry(creds_file, "aws_secret_access_key");
             fkey && fsecret) {
    out.credentials = AwsCredentials{*fkey, *fsecret, entry(creds_file, "aws_session_token").value_or("")};
  }

  if (auto region = first_set(env, {"AWS_REGION", "AWS_DEFAULT_REGION"})) {
    out.region = *region;
  } else if (auto fregion = entry(config_file, "region")) {
    out.region = *fregion;
  }
  out.endpoint = first_set(env, {"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"});
  if (!out.endpoint) out.endpoint = entry(config_file, "endpoint_url");
  while (out.endpoint && !out.endpoint->empty() && out.endpoint->back() == '/') out.endpoint->pop_back();
  out.path_style = out.endpoint.has_value();
  if (auto style = first_set(env, {"VESK_S3_ADDRESSING_STYLE"})) {
    if (*style == "path") out.path_style = true;
    if (*style == "virtual") out.path_style = false;
  }
  out.ca_bundle = first_set(env, {"AWS_CA_BUNDLE"}).value_or(entry(config_file, "ca_bundle").value_or(""));
  return out;
}

}  // namespace vesk
