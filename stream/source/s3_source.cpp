// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/s3_source.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "source/aws_settings.h"

#if KOB_HAVE_CURL
#include "source/remote_opening.h"
#include "source/remote_request.h"
#endif

namespace kob {
namespace {

constexpr char kPrefix[] = "s3://";
// The longest bucket name taken: S3's own are at most 63 letters, but old
// ones in us-east-1 and other stores' may be longer.
constexpr std::size_t kLongestBucket = 255;
// The most bytes of S3's message shown: a sentence or two.
constexpr std::size_t kLongestMessage = 300;

bool unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

// The text between <TAG> and </TAG>, the first time; "" when there is none.
std::string element(const std::string& body, const std::string& tag) {
  const std::string open = "<" + tag + ">";
  const std::size_t start = body.find(open);
  if (start == std::string::npos) return "";
  const std::size_t from = start + open.size();
  const std::size_t end = body.find("</" + tag + ">", from);
  return end == std::string::npos ? "" : body.substr(from, end - from);
}

// XML's five entities decoded, every control byte a space, cut to `most`
// bytes at a character's start.
std::string plainText(const std::string& xml, std::size_t most) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string text;
  for (std::size_t at = 0; at < xml.size();) {
    bool decoded = false;
    for (const auto& e : kEntities) {
      if (xml.compare(at, std::strlen(e.entity), e.entity) == 0) {
        text += e.c;
        at += std::strlen(e.entity);
        decoded = true;
        break;
      }
    }
    if (decoded) continue;
    const auto byte = static_cast<unsigned char>(xml[at]);
    text += byte < 0x20 || byte == 0x7F ? ' ' : xml[at];
    ++at;
  }
  if (text.size() > most) {
    std::size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return text;
}

}  // namespace

bool parseS3Name(const std::string& name, S3Name& parts) {
  if (name.rfind(kPrefix, 0) != 0) return false;
  const std::string rest = name.substr(std::strlen(kPrefix));
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos || slash == 0 || slash > kLongestBucket ||
      slash + 1 >= rest.size()) {
    return false;
  }
  for (std::size_t i = 0; i < slash; ++i) {
    if (!unreserved(rest[i]) || rest[i] == '~') return false;
  }
  parts.bucket = rest.substr(0, slash);
  parts.key = rest.substr(slash + 1);
  return true;
}

std::string encodedKey(const std::string& key) {
  std::string encoded;
  for (const char c : key) {
    if (unreserved(c) || c == '/') {
      encoded += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      encoded += hex;
    }
  }
  return encoded;
}

S3Error s3ErrorOf(const std::string& body) {
  S3Error error;
  const std::string code = element(body, "Code");
  bool word = !code.empty() && code.size() <= 64;
  for (const char c : code) word = word && (std::isalnum(static_cast<unsigned char>(c)) || c == '.');
  if (!word) return error;
  error.code = code;
  error.message = plainText(element(body, "Message"), kLongestMessage);
  return error;
}

#if KOB_HAVE_CURL
namespace {

// What S3's codes mean here; a code not listed is judged by its status.
struct Meaning {
  const char* code;
  int error;
  bool retry;
};
const Meaning kMeanings[] = {
    {"NoSuchKey", ENOENT, false},
    {"NoSuchBucket", ENOENT, false},
    {"NoSuchVersion", ENOENT, false},
    {"AccessDenied", EACCES, false},
    {"AccountProblem", EACCES, false},
    {"AllAccessDisabled", EACCES, false},
    {"AuthorizationHeaderMalformed", EACCES, false},  // the wrong region
    {"ExpiredToken", EACCES, false},
    {"InvalidAccessKeyId", EACCES, false},
    {"InvalidObjectState", EACCES, false},  // archived: to be restored first
    {"InvalidToken", EACCES, false},
    {"RequestTimeTooSkewed", EACCES, false},
    {"SignatureDoesNotMatch", EACCES, false},
    {"TokenRefreshRequired", EACCES, false},
    {"PreconditionFailed", ESTALE, false},  // replaced since it was opened
    {"InternalError", EIO, true},
    {"RequestTimeout", EIO, true},
    {"ServiceUnavailable", EIO, true},
    {"SlowDown", EIO, true},
};

class S3Endpoint final : public Endpoint {
 public:
  S3Endpoint(std::shared_ptr<const AwsSettings> someSettings, const S3Name& name)
      : settings(std::move(someSettings)),
        address(settings->endpoint + "/" + name.bucket + "/" + encodedKey(name.key)),
        scope("aws:amz:" + settings->region + ":s3") {}

  const std::string& url() const override { return address; }

  int prepare(const CurlLibrary& curl, CURL* handle, curl_slist*& headers) const override {
    // An option this libcurl does not know (older than 7.75) refuses the
    // request rather than send it unsigned.
    bool all = curl.easySetopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               // "." and ".." are a key's own segments, not to be resolved.
               curl.easySetopt(handle, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
    if (!settings->signs()) return all ? 0 : EPROTONOSUPPORT;
    all = all && curl.easySetopt(handle, CURLOPT_AWS_SIGV4, scope.c_str()) == CURLE_OK &&
          curl.easySetopt(handle, CURLOPT_USERNAME, settings->accessKey.c_str()) == CURLE_OK &&
          curl.easySetopt(handle, CURLOPT_PASSWORD, settings->secretKey.c_str()) == CURLE_OK;
    if (!all) return EPROTONOSUPPORT;
    if (!add(curl, headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD")) return ENOMEM;
    if (!settings->sessionToken.empty() &&
        !add(curl, headers, "x-amz-security-token: " + settings->sessionToken)) {
      return ENOMEM;
    }
    return 0;
  }

  Outcome refusal(const Answer& answer) const override {
    const S3Error said = s3ErrorOf(answer.errorBody);
    if (said.code.empty()) return {};
    Outcome outcome;
    outcome.detail = said.message.empty() ? said.code : said.code + ": " + said.message;
    for (const Meaning& meaning : kMeanings) {
      if (said.code == meaning.code) {
        outcome.error = meaning.error;
        outcome.retry = meaning.retry;
      }
    }
    if (outcome.error == EACCES && !settings->signs()) {
      outcome.detail += " (unsigned: no AWS credentials were found)";
    }
    return outcome;
  }

 private:
  static bool add(const CurlLibrary& curl, curl_slist*& headers, const std::string& line) {
    curl_slist* longer = curl.slistAppend(headers, line.c_str());
    if (longer == nullptr) return false;
    headers = longer;
    return true;
  }

  const std::shared_ptr<const AwsSettings> settings;
  const std::string address;
  const std::string scope;
};

}  // namespace
#endif

std::unique_ptr<Source> openS3(const std::string& name, Purpose purpose,
                               const OpenRules& rules, Failure& failure) {
  S3Name parts;
  if (!parseS3Name(name, parts)) {
    failure = Failure::ofError(EINVAL);
    failure.detail = "an s3:// URL names a bucket and a key: s3://BUCKET/KEY";
    return nullptr;
  }
#if !KOB_HAVE_CURL
  static_cast<void>(purpose);
  static_cast<void>(rules);
  failure = Failure::ofError(EPROTONOSUPPORT);
  return nullptr;
#else
  auto settings = std::make_shared<AwsSettings>();
  if (!findAwsSettings(rules.s3, *settings, failure)) return nullptr;
  std::shared_ptr<const AwsSettings> found = std::move(settings);
  return openRemote(
      name, purpose, rules,
      [found](const std::string& object, Failure& why) -> std::unique_ptr<Endpoint> {
        S3Name its;
        if (!parseS3Name(object, its)) {
          why = Failure::ofError(EINVAL);
          return nullptr;
        }
        return std::make_unique<S3Endpoint>(found, its);
      },
      failure);
#endif
}

}  // namespace kob
