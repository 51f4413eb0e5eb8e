// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/aws_settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "kob_names.h"
#include "kob_open.h"

namespace kob {
namespace {

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A section's name with its words one space apart: "[profile  x]" is
// "profile x", as AWS's parser splits it.
std::string sectionName(const std::string& header) {
  std::string name;
  std::size_t at = 0;
  const std::string text = trimmed(header);
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    if (!name.empty()) name += ' ';
    name += text.substr(at, end - at);
    at = end;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  }
  return name;
}

Failure invalid(const std::string& detail) {
  Failure failure = Failure::ofError(EINVAL);
  failure.detail = detail;
  return failure;
}

// The value of `name`, "" when unset or empty.
std::string variable(const Environment& environment, const char* name) {
  const char* value = environment(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The home folder: HOME, else the password file's; "" when neither.
std::string home(const Environment& environment) {
  const std::string given = variable(environment, "HOME");
  if (!given.empty()) return given;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "";
}

// The settings file `variableName` names, else ~/.aws/`fallback`; "" when
// there is no home to find it in.
std::string settingsPath(const Environment& environment, const char* variableName,
                         const char* fallback) {
  std::string path = variable(environment, variableName);
  const std::string folder = home(environment);
  if (path.empty()) return folder.empty() ? "" : folder + "/.aws/" + fallback;
  if (path == "~" || path.rfind("~/", 0) == 0) {
    if (folder.empty()) return "";
    path = folder + path.substr(1);
  }
  // A local name, whatever it looks like.
  if (path[0] != '/' && isRemote(path)) path = "./" + path;
  return path;
}

// Reads the settings file at `path` into `text`: "" when it is not there
// (or is no regular file: /dev/null turns one off). Returns false with
// `failure` set when it is there but cannot be read.
bool readSettingsFile(const std::string& path, std::string& text, Failure& failure) {
  text.clear();
  if (path.empty()) return true;
  OpenRules rules;
  rules.regularOnly = true;
  rules.testSignature = false;
  OpenedFile file = openFile(path, rules);
  if (!file.ok()) {
    const int error = file.failure().error;
    if (error == ENOENT || error == ENOTDIR || error == ESPIPE || error == EISDIR) return true;
    failure = Failure::ofError(error);
    failure.detail = "the AWS settings file " + displayName(path);
    return false;
  }
  char buffer[16384];
  for (;;) {
    const long got = file.readOn(buffer, sizeof buffer);
    if (got < 0) {
      failure = Failure::ofError(errno);
      failure.detail = "the AWS settings file " + displayName(path);
      return false;
    }
    if (got == 0) return true;
    if (text.size() + static_cast<std::size_t>(got) > kMostSettingsBytes) {
      failure = invalid("the AWS settings file " + displayName(path) + " is over " +
                        std::to_string(kMostSettingsBytes >> 20) + " MiB");
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// Whether `region` can be a region's name: letters, digits, '-' and '_'
// (it goes into a host name and the signature's scope).
bool regionName(const std::string& region) {
  if (region.empty() || region.size() > 64) return false;
  for (const char c : region) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

// Whether `value` may go into a request's header: a control character
// (CR and LF above all) would end the header there and begin another of
// anyone's choosing.
bool fitsAHeader(const std::string& value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// `url` as an endpoint: an http or https URL with a host, no query, no
// fragment, no '/' at its end. Returns "" when it cannot be one.
std::string endpointOf(const std::string& url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return "";
  const std::string scheme = lowered(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") return "";
  std::string rest = url.substr(colon + 3);
  for (const char c : rest) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '?' || c == '#') return "";
  }
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty() || rest[0] == '/') return "";
  return scheme + "://" + rest;
}

}  // namespace

std::map<std::string, std::string> settingsSection(const std::string& text,
                                                   const std::string& section,
                                                   bool& found) {
  std::map<std::string, std::string> keys;
  found = false;
  bool inside = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::string bare = trimmed(line);
    if (bare.empty() || bare[0] == '#' || bare[0] == ';') continue;
    // An indented line goes on the value before it: a nested setting.
    if (std::isspace(static_cast<unsigned char>(line[0]))) continue;
    if (bare[0] == '[') {
      const std::size_t close = bare.rfind(']');
      inside = close != std::string::npos &&
               sectionName(bare.substr(1, close - 1)) == section;
      found = found || inside;
      continue;
    }
    if (!inside) continue;
    const std::size_t split = bare.find_first_of("=:");
    if (split == std::string::npos || split == 0) continue;
    keys[lowered(trimmed(bare.substr(0, split)))] = trimmed(bare.substr(split + 1));
  }
  return keys;
}

bool findAwsSettings(AwsSettings& settings, Failure& failure) {
  return findAwsSettings([](const char* name) { return std::getenv(name); }, settings,
                         failure);
}

bool findAwsSettings(const S3Options& given, AwsSettings& settings, Failure& failure) {
  return findAwsSettings([](const char* name) { return std::getenv(name); }, given,
                         settings, failure);
}

bool findAwsSettings(const Environment& environment, const S3Options& given,
                     AwsSettings& settings, Failure& failure) {
  // Each value given is checked here, so that a failure names it rather
  // than the variable it stands for.
  const struct {
    const char* what;
    const std::string& value;
  } values[] = {{"the endpoint given", given.endpoint},
                {"the region given", given.region},
                {"the access key given", given.accessKey},
                {"the secret key given", given.secretKey},
                {"the session token given", given.sessionToken},
                {"the profile given", given.profile}};
  for (const auto& value : values) {
    for (const char c : value.value) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) {
        failure = invalid(std::string(value.what) + " holds a control character");
        return false;
      }
    }
  }
  if (!given.endpoint.empty() && endpointOf(given.endpoint).empty()) {
    failure = invalid("the endpoint given is not an http or https URL: " +
                      displayName(given.endpoint));
    return false;
  }
  if (!given.region.empty() && !regionName(given.region)) {
    failure = invalid("the region given is not the name of a region: " +
                      displayName(given.region));
    return false;
  }
  if (given.accessKey.empty() != given.secretKey.empty() ||
      (given.accessKey.empty() && !given.sessionToken.empty())) {
    failure = invalid("an access key is given with its secret key (and token), or neither");
    return false;
  }
  // Credentials given, a profile named or none wanted: the environment's
  // keys are set aside, so that none of them is sent with another's.
  const bool ownKeys = !given.accessKey.empty() || !given.profile.empty() || given.anonymous;
  const Environment layered = [&](const char* name) -> const char* {
    const std::string variable = name;
    if (variable == "AWS_ENDPOINT_URL_S3" && !given.endpoint.empty()) {
      return given.endpoint.c_str();
    }
    if (variable == "AWS_REGION" && !given.region.empty()) return given.region.c_str();
    if (variable == "AWS_PROFILE" && !given.profile.empty()) return given.profile.c_str();
    if (ownKeys && (variable == "AWS_ACCESS_KEY_ID" || variable == "AWS_SECRET_ACCESS_KEY" ||
                    variable == "AWS_SESSION_TOKEN" || variable == "AWS_SECURITY_TOKEN")) {
      return nullptr;
    }
    return environment(name);
  };
  if (!findAwsSettings(layered, settings, failure)) return false;
  if (given.anonymous) {
    settings.accessKey.clear();
    settings.secretKey.clear();
    settings.sessionToken.clear();
  } else if (!given.accessKey.empty()) {
    settings.accessKey = given.accessKey;
    settings.secretKey = given.secretKey;
    settings.sessionToken = given.sessionToken;
  }
  return true;
}

bool findAwsSettings(const Environment& environment, AwsSettings& settings,
                     Failure& failure) {
  settings = AwsSettings();
  // The profile: the config file's section, the credentials file's over it.
  const std::string named = variable(environment, "AWS_PROFILE");
  const std::string profile = named.empty() ? "default" : named;
  std::string configText, credentialsText;
  const std::string configPath = settingsPath(environment, "AWS_CONFIG_FILE", "config");
  const std::string credentialsPath =
      settingsPath(environment, "AWS_SHARED_CREDENTIALS_FILE", "credentials");
  if (!readSettingsFile(configPath, configText, failure) ||
      !readSettingsFile(credentialsPath, credentialsText, failure)) {
    return false;
  }
  bool inConfig = false, inDefault = false, inCredentials = false;
  std::map<std::string, std::string> keys;
  if (profile == "default") keys = settingsSection(configText, "default", inDefault);
  for (const auto& [key, value] : settingsSection(configText, "profile " + profile, inConfig)) {
    keys[key] = value;
  }
  for (const auto& [key, value] : settingsSection(credentialsText, profile, inCredentials)) {
    keys[key] = value;
  }
  // As AWS's: the default profile may be nowhere.
  if (profile != "default" && !inConfig && !inCredentials) {
    failure = invalid("AWS_PROFILE names the profile " + displayName(named) +
                      ", which is in neither " + displayName(credentialsPath) + " nor " +
                      displayName(configPath));
    return false;
  }
  auto key = [&](const char* name) {
    const auto found = keys.find(name);
    return found == keys.end() ? std::string() : found->second;
  };

  // Credentials: both keys from the environment, else both from the
  // profile; a key without its secret is a mistake to be told.
  // Where the key and the token came from, as a message names them.
  std::string keyFrom = "AWS_ACCESS_KEY_ID";
  std::string tokenFrom = "AWS_SESSION_TOKEN";
  const std::string accessKey = variable(environment, "AWS_ACCESS_KEY_ID");
  if (!accessKey.empty()) {
    settings.accessKey = accessKey;
    settings.secretKey = variable(environment, "AWS_SECRET_ACCESS_KEY");
    settings.sessionToken = variable(environment, "AWS_SESSION_TOKEN");
    if (settings.sessionToken.empty()) {
      tokenFrom = "AWS_SECURITY_TOKEN";
      settings.sessionToken = variable(environment, "AWS_SECURITY_TOKEN");
    }
    if (settings.secretKey.empty()) {
      failure = invalid("AWS_ACCESS_KEY_ID is set without AWS_SECRET_ACCESS_KEY");
      return false;
    }
  } else if (!key("aws_access_key_id").empty()) {
    const std::string named = "the AWS profile " + displayName(profile) + "'s ";
    keyFrom = named + "aws_access_key_id";
    tokenFrom = named + "aws_session_token";
    settings.accessKey = key("aws_access_key_id");
    settings.secretKey = key("aws_secret_access_key");
    settings.sessionToken = key("aws_session_token");
    if (settings.sessionToken.empty()) {
      tokenFrom = named + "aws_security_token";
      settings.sessionToken = key("aws_security_token");
    }
    if (settings.secretKey.empty()) {
      failure = invalid("the AWS profile " + displayName(profile) +
                        " has aws_access_key_id without aws_secret_access_key");
      return false;
    }
  }
  // The key and the token go into every request's headers; neither is
  // shown, the key being half of the credentials.
  for (const auto& [value, from] : {std::pair{&settings.accessKey, &keyFrom},
                                    std::pair{&settings.sessionToken, &tokenFrom}}) {
    if (!fitsAHeader(*value)) {
      failure = invalid(*from + " holds a control character");
      return false;
    }
  }

  const char* regionFrom = "AWS_REGION";
  settings.region = variable(environment, "AWS_REGION");
  if (settings.region.empty()) {
    regionFrom = "AWS_DEFAULT_REGION";
    settings.region = variable(environment, "AWS_DEFAULT_REGION");
  }
  if (settings.region.empty()) {
    regionFrom = "the profile's region";
    settings.region = key("region");
  }
  if (settings.region.empty()) settings.region = "us-east-1";
  if (!regionName(settings.region)) {
    failure = invalid(std::string(regionFrom) + " is not the name of a region: " +
                      displayName(settings.region));
    return false;
  }

  const char* endpointFrom = "AWS_ENDPOINT_URL_S3";
  std::string endpoint = variable(environment, "AWS_ENDPOINT_URL_S3");
  if (endpoint.empty()) {
    endpointFrom = "AWS_ENDPOINT_URL";
    endpoint = variable(environment, "AWS_ENDPOINT_URL");
  }
  if (endpoint.empty()) {
    endpointFrom = "the profile's endpoint_url";
    endpoint = key("endpoint_url");
  }
  if (endpoint.empty()) endpoint = "https://s3." + settings.region + ".amazonaws.com";
  settings.endpoint = endpointOf(endpoint);
  if (settings.endpoint.empty()) {
    failure = invalid(std::string(endpointFrom) + " is not an http or https URL: " +
                      displayName(endpoint));
    return false;
  }
  return true;
}

}  // namespace kob
