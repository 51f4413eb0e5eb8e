// SPDX-License-Identifier: GPL-2.0-or-later
//
// One GET request for a range of an object elsewhere, through libcurl: what
// every remote source shares, whatever its server. An Endpoint says where
// requests go and signs them (the one part that differs between a web
// server and an object store); a Transfer runs one request on a
// Connection, bounded in time, and says how it went in an errno and the
// words of libcurl.
//
// Every request is bounded: it fails with ETIMEDOUT once it has taken the
// timeout (connecting and the first bytes) plus its bytes at the least
// rate, kLeastRate; a stall fails after the timeout as well.

#ifndef KOB_SOURCE_REMOTE_REQUEST_H
#define KOB_SOURCE_REMOTE_REQUEST_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "source/curl_library.h"
#include "source/http_answer.h"

namespace kob {

// The slowest a transfer may be, bytes a second: slower than a modem, so
// that only a server that trickles fails for it.
constexpr std::int64_t kLeastRate = 16 * 1024;

// What the environment tunes (milliseconds): KOB_HTTP_TIMEOUT_MS, the
// connection and stall timeout (30000); KOB_HTTP_RETRY_DELAY_MS, the first
// wait before a retry, doubled each time (250); KOB_HTTP_RETRIES, how many
// times a failed request is tried again (3, at most 10).
struct RemoteSettings {
  long timeoutMs = 30000;
  long retryDelayMs = 250;
  int retries = 3;
  // A file of certificate authorities (PEM) that an https server's
  // certificate may chain to, beside those libcurl trusts by itself; ""
  // for those alone. Absolute, so that a later change of the current
  // folder does not change it.
  std::string caFile;
  // Set to end what is under way (a request nobody will wait for).
  const std::atomic<bool>* cancel = nullptr;
  // The settings, with the CA file `caFile` where the caller names one;
  // else, as curl's command line takes them, CURL_CA_BUNDLE, else
  // SSL_CERT_FILE (each ignored when empty).
  static RemoteSettings fromEnvironment(const std::string& caFile = std::string());
};

// How a request went: 0 or an errno, whether it may pass when tried again,
// and the words of the layer below ("" when it said none).
struct Outcome {
  int error = 0;
  bool retry = false;
  std::string detail;
};

// Where the requests for one object go and what they carry beyond a plain
// GET.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // The URL of the object, as libcurl takes it.
  virtual const std::string& url() const = 0;
  // Sets on `handle` what this kind of server needs (credentials, a
  // signature) and adds its headers to `headers`. Returns 0 or an errno.
  virtual int prepare(const CurlLibrary& curl, CURL* handle,
                      curl_slist*& headers) const {
    static_cast<void>(curl);
    static_cast<void>(handle);
    static_cast<void>(headers);
    return 0;
  }
  // What an answer that is not the object's bytes means, where this kind
  // of server says more than its status (an object store's error code in
  // the body): an errno, whether to try again, and the server's words for
  // the detail. Error 0: judged by its status alone, with the words given
  // (if any) in place of the status.
  virtual Outcome refusal(const Answer& answer) const {
    static_cast<void>(answer);
    return {};
  }
};

// An easy handle and the multi handle that drives it: the multi's cache
// keeps the connection open for the next request on it.
class Connection {
 public:
  explicit Connection(const CurlLibrary& curl);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool ok() const { return easy != nullptr && multi != nullptr; }

 private:
  friend class Transfer;
  const CurlLibrary& curl;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
};

// The first bytes of an object, in order, in an unnamed temporary file:
// the body of a server that ignores Range, read once.
class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  // Appends; the file is made at the first call. Returns 0 or an errno.
  int append(const char* data, std::size_t count);
  // Returns 0 or an errno; the bytes must be held.
  int read(std::int64_t offset, unsigned char* into, std::size_t count) const;
  std::int64_t length() const { return held; }

 private:
  int fd = -1;
  std::int64_t held = 0;
};

// What a request asks for.
struct Request {
  std::int64_t offset = 0;
  std::size_t count = 0;           // 0: the whole object, from its start
  unsigned char* into = nullptr;   // where the wanted bytes go; may be null
  std::string condition;           // a header that keeps to one version
  // Where a whole body goes when the server ignores Range; null: only the
  // wanted bytes are taken, and the rest of the body is not read.
  Spool* spool = nullptr;
  // The object's length and ETag that a body must have before a byte of
  // it goes to the spool (a spool never holds two versions); -1: any.
  std::int64_t expectLength = -1;
  std::string expectTag;
};

class Transfer {
 public:
  Transfer(Connection& connection, const Endpoint& endpoint,
           const RemoteSettings& settings, const Request& request);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Runs the request until it ends; a whole body into a spool only until
  // the spool holds `spoolUntil` bytes, when it stops (still open, for
  // run() again). `bytes` is what the deadline is scaled to. The outcome
  // is libcurl's: a response came (error 0), whatever its status.
  Outcome run(std::int64_t bytes, std::int64_t spoolUntil = -1);

  const Answer& answer() const { return heard; }
  // Wanted bytes received.
  std::size_t got() const { return received; }
  // Whether the request has ended (else it is stopped, to go on).
  bool ended() const { return done; }
  // The body had bytes other than those asked for.
  bool unwanted() const { return wrongBody; }

 private:
  static std::size_t onHeader(char* data, std::size_t size, std::size_t items,
                              void* context);
  static std::size_t onBody(char* data, std::size_t size, std::size_t items,
                            void* context);
  std::size_t takeBody(const char* data, std::size_t length);
  Outcome outcome(CURLcode code);

  Connection& connection;
  const std::string url;
  const RemoteSettings settings;
  Request request;
  std::string range;
  curl_slist* headers = nullptr;
  int setupError = 0;
  Answer heard;
  std::size_t received = 0;
  std::int64_t bodySeen = 0;
  bool enough = false;     // stopped on purpose: all that was wanted came
  bool wrongBody = false;  // stopped: the body is not what was asked for
  int spoolError = 0;
  bool attached = false;
  bool done = false;
  bool timedOut = false;
  char errors[CURL_ERROR_SIZE] = {};
};

}  // namespace kob

#endif  // KOB_SOURCE_REMOTE_REQUEST_H
