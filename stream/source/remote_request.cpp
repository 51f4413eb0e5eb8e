// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/remote_request.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/io.h"

namespace kob {
namespace {

using Clock = std::chrono::steady_clock;

long fromEnvironment(const char* name, long fallback, long least) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < least) return fallback;
  return value;
}

// The scheme of a redirect's target, in letters that are safe to show.
std::string schemeOf(const std::string& location) {
  const std::size_t colon = location.find(':');
  if (colon == std::string::npos || colon > 16) return "";
  std::string scheme;
  for (const char c : location.substr(0, colon)) {
    const char low = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!std::isalnum(static_cast<unsigned char>(low)) && low != '+' &&
        low != '-' && low != '.') {
      return "";
    }
    scheme += low;
  }
  return scheme;
}

// libcurl's words, without the URL (which may hold credentials) and
// without bytes that could play with a terminal.
std::string cleaned(const char* words, const std::string& url) {
  std::string text = words;
  for (std::size_t at; !url.empty() && (at = text.find(url)) != std::string::npos;) {
    text.replace(at, url.size(), "the URL");
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return text;
}

}  // namespace

RemoteSettings RemoteSettings::fromEnvironment(const std::string& caFile) {
  RemoteSettings settings;
  settings.caFile = caFile;
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* named = std::getenv(name);
    if (!settings.caFile.empty() || named == nullptr) continue;
    settings.caFile = named;
  }
  if (!settings.caFile.empty()) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(settings.caFile, ignored);
    if (!absolute.empty()) settings.caFile = absolute.string();
  }
  settings.timeoutMs =
      kob::fromEnvironment("KOB_HTTP_TIMEOUT_MS", settings.timeoutMs, 1);
  settings.retryDelayMs =
      kob::fromEnvironment("KOB_HTTP_RETRY_DELAY_MS", settings.retryDelayMs, 0);
  settings.retries = static_cast<int>(std::min<long>(
      kob::fromEnvironment("KOB_HTTP_RETRIES", settings.retries, 0), 10));
  return settings;
}

Connection::Connection(const CurlLibrary& aCurl) : curl(aCurl) {
  easy = curl.easyInit();
  multi = curl.multiInit();
}

Connection::~Connection() {
  if (easy != nullptr) curl.easyCleanup(easy);
  if (multi != nullptr) curl.multiCleanup(multi);
}

Spool::~Spool() {
  if (fd >= 0) ::close(fd);
}

int Spool::append(const char* data, std::size_t count) {
  if (fd < 0) {
    const char* folder = std::getenv("TMPDIR");
    const std::string dir = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      // A file system without unnamed files: a named one, unlinked at once.
      std::string name = dir + "/kob-body.XXXXXX";
      fd = mkostemp(name.data(), O_CLOEXEC);
      if (fd < 0) return errno;
      ::unlink(name.c_str());
    }
  }
  while (count > 0) {
    const ssize_t n = ::pwrite(fd, data, count, held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n;
    count -= static_cast<std::size_t>(n);
    held += n;
  }
  return 0;
}

int Spool::read(std::int64_t offset, unsigned char* into,
                std::size_t count) const {
  if (offset < 0 || offset + static_cast<std::int64_t>(count) > held) return EINVAL;
  if (count == 0) return 0;
  const long got = readFully(fd, into, count, offset);
  if (got < 0) return errno;
  return static_cast<std::size_t>(got) == count ? 0 : EIO;
}

Transfer::Transfer(Connection& aConnection, const Endpoint& endpoint,
                   const RemoteSettings& someSettings, const Request& aRequest)
    : connection(aConnection), url(endpoint.url()), settings(someSettings),
      request(aRequest) {
  const CurlLibrary& curl = connection.curl;
  CURL* handle = connection.easy;
  curl.easyReset(handle);
  // An option this libcurl does not take (too old a one) refuses the
  // request rather than drop a safeguard.
  auto set = [&](CURLoption option, auto value) {
    if (curl.easySetopt(handle, option, value) != CURLE_OK && setupError == 0) {
      setupError = EPROTONOSUPPORT;
    }
  };
  set(CURLOPT_URL, endpoint.url().c_str());
  set(CURLOPT_ERRORBUFFER, errors);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 5L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_CONNECTTIMEOUT_MS, settings.timeoutMs);
  // A transfer that stalls for the timeout (to the second) fails; one that
  // trickles fails by the deadline (run()).
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, std::max(1L, (settings.timeoutMs + 999) / 1000));
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_USERAGENT, "kob");
  if (!settings.caFile.empty()) set(CURLOPT_CAINFO, settings.caFile.c_str());
  if (request.count > 0) {
    range = std::to_string(request.offset) + "-" +
            std::to_string(request.offset +
                           static_cast<std::int64_t>(request.count) - 1);
    set(CURLOPT_RANGE, range.c_str());
  }
  if (!request.condition.empty()) {
    headers = curl.slistAppend(headers, request.condition.c_str());
  }
  if (setupError == 0) setupError = endpoint.prepare(curl, handle, headers);
  if (headers != nullptr) set(CURLOPT_HTTPHEADER, headers);
  if (setupError == 0 && !connection.ok()) setupError = ENOMEM;
  if (setupError == 0) {
    attached = curl.multiAddHandle(connection.multi, handle) == CURLM_OK;
    if (!attached) setupError = ENOMEM;
  }
}

Transfer::~Transfer() {
  // A transfer stopped in its body closes its connection.
  if (attached) connection.curl.multiRemoveHandle(connection.multi, connection.easy);
  if (headers != nullptr) connection.curl.slistFreeAll(headers);
}

Outcome Transfer::run(std::int64_t bytes, std::int64_t spoolUntil) {
  if (setupError != 0) {
    done = true;
    return {setupError, false, setupError == EPROTONOSUPPORT
                                   ? "this libcurl lacks an option kob needs"
                                   : ""};
  }
  const CurlLibrary& curl = connection.curl;
  const auto allowed = std::chrono::milliseconds(
      settings.timeoutMs + std::max<std::int64_t>(bytes, 0) * 1000 / kLeastRate);
  const Clock::time_point deadline = Clock::now() + allowed;
  for (;;) {
    int running = 0;
    if (curl.multiPerform(connection.multi, &running) != CURLM_OK) {
      done = true;
      return {EIO, true, "libcurl could not go on with the transfer"};
    }
    int left = 0;
    while (CURLMsg* message = curl.multiInfoRead(connection.multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      done = true;
      const CURLcode code = message->data.result;
      curl.multiRemoveHandle(connection.multi, connection.easy);
      attached = false;
      return outcome(code);
    }
    if (request.spool != nullptr && spoolUntil >= 0 && heard.status == 200 &&
        request.spool->length() >= spoolUntil) {
      return {};
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      done = true;
      timedOut = true;
      return {ETIMEDOUT, true,
              "no answer in " + std::to_string(allowed.count()) + " ms for " +
                  std::to_string(bytes) + " bytes"};
    }
    if (settings.cancel != nullptr && settings.cancel->load()) {
      done = true;
      return {ECANCELED, false, ""};
    }
    const long wait = static_cast<long>(std::min<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1,
        settings.cancel != nullptr ? 50 : 1000));
    curl.multiPoll(connection.multi, nullptr, 0, static_cast<int>(wait), nullptr);
  }
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t items,
                               void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const std::size_t length = size * items;
  transfer->heard.takeLine(data, length);
  // The headers have ended: a range other than the one asked for is
  // refused now, before a byte of its body is fetched.
  const bool ended = length > 0 && (data[0] == '\r' || data[0] == '\n');
  if (ended && transfer->heard.status == 206 &&
      transfer->heard.rangeFirst != transfer->request.offset) {
    transfer->wrongBody = true;
    return 0;
  }
  return length;
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t items,
                             void* context) {
  return static_cast<Transfer*>(context)->takeBody(data, size * items);
}

// Keeps the wanted bytes of the body. A whole object sent in answer to a
// range goes to the spool, where there is one; else it is read up to the
// end of the range, then dropped.
std::size_t Transfer::takeBody(const char* data, std::size_t length) {
  const long status = heard.status;
  if (status != 200 && status != 206) {
    // An error's body: its first bytes kept for the endpoint to read, the
    // rest not read.
    const std::size_t room = kErrorBodyBytes - std::min(heard.errorBody.size(), kErrorBodyBytes);
    heard.errorBody.append(data, std::min(room, length));
    if (length <= room) return length;
    wrongBody = true;
    return 0;
  }
  const std::int64_t pieceAt =
      bodySeen + (status == 206 ? request.offset : 0);
  const auto n = static_cast<std::int64_t>(length);
  bodySeen += n;
  if (status == 200 && request.spool != nullptr && request.expectLength >= 0 &&
      (heard.contentLength != request.expectLength || heard.etag != request.expectTag)) {
    wrongBody = true;  // another version: judged by the caller
    return 0;
  }
  if (status == 200 && request.spool != nullptr &&
      pieceAt + n > request.spool->length()) {
    // The body again after a restart: what the spool holds is skipped.
    const std::int64_t skip = std::max<std::int64_t>(request.spool->length() - pieceAt, 0);
    if (pieceAt + skip != request.spool->length()) {
      wrongBody = true;
      return 0;
    }
    spoolError = request.spool->append(data + skip, length - static_cast<std::size_t>(skip));
    if (spoolError != 0) return 0;
  }
  const std::int64_t wantedEnd =
      request.offset + static_cast<std::int64_t>(request.count);
  const std::int64_t from =
      std::max(pieceAt, request.offset + static_cast<std::int64_t>(received));
  const std::int64_t to = std::min(pieceAt + n, wantedEnd);
  if (to > from && request.into != nullptr) {
    std::memcpy(request.into + (from - request.offset), data + (from - pieceAt),
                static_cast<std::size_t>(to - from));
    received = static_cast<std::size_t>(to - request.offset);
  }
  if (status == 206 && pieceAt + n > wantedEnd) {
    wrongBody = true;  // more than the range asked for
    return 0;
  }
  if (status == 200 && request.spool == nullptr && request.count > 0 &&
      received == request.count) {
    enough = true;  // a whole object: read no further
    return 0;
  }
  return length;
}

Outcome Transfer::outcome(CURLcode code) {
  if (spoolError != 0) {
    return {spoolError, false, "no room for the body of a server that ignores Range"};
  }
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && (enough || wrongBody))) {
    return {};
  }
  Outcome failed{EIO, false, cleaned(errors, url)};
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      failed.error = EHOSTUNREACH;
      break;
    case CURLE_COULDNT_CONNECT:
      failed.error = ECONNREFUSED;
      failed.retry = true;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      failed.error = ETIMEDOUT;
      failed.retry = true;
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      if (heard.status >= 300 && heard.status < 400) {
        // The URL's own scheme was allowed: a redirect went elsewhere.
        const std::string scheme = schemeOf(heard.location);
        failed.error = EPERM;
        failed.detail = "redirect to a scheme that is not allowed" +
                        (scheme.empty() ? std::string() : ": " + scheme);
      } else {
        failed.error = EPROTONOSUPPORT;
      }
      break;
    case CURLE_URL_MALFORMAT:
      failed.error = EINVAL;
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      failed.error = ELOOP;
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
      failed.error = EACCES;
      break;
    case CURLE_OUT_OF_MEMORY:
      failed.error = ENOMEM;
      break;
    default:
      // A reset, a body cut short, nothing at all: tried again.
      failed.retry = true;
      break;
  }
  // A CA file that cannot be read is named, where libcurl's words do not.
  if (failed.error == EACCES && !settings.caFile.empty() &&
      ::access(settings.caFile.c_str(), R_OK) != 0) {
    failed.detail = cleaned(
        ("cannot read the CA file " + settings.caFile + ": " + std::strerror(errno)).c_str(), "");
  }
  return failed;
}

}  // namespace kob
