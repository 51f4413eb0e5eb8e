// SPDX-License-Identifier: GPL-2.0-or-later
//
// The settings an s3:// URL is read with, found where AWS's command line
// finds them:
//
//   credentials  AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN;
//                else the profile's aws_access_key_id, aws_secret_access_key
//                and aws_session_token; else none, and requests go unsigned
//                (a public bucket)
//   region       AWS_REGION, AWS_DEFAULT_REGION, the profile's region,
//                else us-east-1
//   endpoint     AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL (a store that speaks
//                S3's interface), the profile's endpoint_url, else
//                https://s3.REGION.amazonaws.com
//
// The profile is AWS_PROFILE's ("default" when unset): the section [NAME]
// of the credentials file (AWS_SHARED_CREDENTIALS_FILE, ~/.aws/credentials)
// over the section [profile NAME] ([default] for the default) of the config
// file (AWS_CONFIG_FILE, ~/.aws/config). Credentials from a process, single
// sign-on or an assumed role are not taken: such a profile reads unsigned.
//
// A secret key or session token is never shown: no message, detail or log
// line holds one.

#ifndef KOB_SOURCE_AWS_SETTINGS_H
#define KOB_SOURCE_AWS_SETTINGS_H

#include <functional>
#include <map>
#include <string>

#include "kob_failure.h"
#include "kob_open.h"

namespace kob {

// The largest settings file read: far more than any holds, so that a name
// pointed at something huge costs no memory.
constexpr std::size_t kMostSettingsBytes = 1024 * 1024;

struct AwsSettings {
  std::string accessKey;
  std::string secretKey;     // never shown
  std::string sessionToken;  // never shown; "" for none
  std::string region;
  // "http[s]://HOST[:PORT][/PATH]", no '/' at its end: the bucket follows.
  std::string endpoint;

  // Whether requests are signed: credentials were found.
  bool signs() const { return !accessKey.empty(); }
};

// A lookup of the environment: the value of a variable, or null.
using Environment = std::function<const char*(const char* name)>;

// Finds the settings by `environment` (the process's when not given) and
// the files it names. Returns false with `failure` set (EINVAL, or the
// errno of a settings file that is there but cannot be read), its detail
// naming the setting at fault: a key without its secret, an endpoint that
// is no http or https URL, a region name that cannot be one, a profile
// named but in neither file.
bool findAwsSettings(AwsSettings& settings, Failure& failure);
bool findAwsSettings(const Environment& environment, AwsSettings& settings,
                     Failure& failure);
// The same with a caller's settings `given` (kob_open.h's S3Options) in
// place of the variables and files they stand for; a failure's detail
// names the setting given that is at fault.
bool findAwsSettings(const S3Options& given, AwsSettings& settings, Failure& failure);
bool findAwsSettings(const Environment& environment, const S3Options& given,
                     AwsSettings& settings, Failure& failure);

// The keys of the section `section` of a settings file's `text`, as AWS's
// parser reads them: "key = value" (or "key: value"), keys in lower case;
// '#' and ';' start a comment line; an indented line goes on the key before
// (a nested setting, not taken). A section named twice is one. Sets
// `found` when the section is there.
std::map<std::string, std::string> settingsSection(const std::string& text,
                                                   const std::string& section,
                                                   bool& found);

}  // namespace kob

#endif  // KOB_SOURCE_AWS_SETTINGS_H
