// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file read from a web server: http:// and https:// URLs, read
// with ranged GET requests through libcurl.
//
// The object's identity (its ETag, Last-Modified and length) is taken from
// the first response; every later request carries it as a condition
// (If-Match with a strong ETag, else If-Unmodified-Since), and every
// response is checked against it. An object that changed fails the read
// with ESTALE: a reader never serves bytes of two versions.
//
// Reads are bounded in what they cost: a transfer that stalls fails after a
// timeout; a reset connection, a body cut short and a 5xx answer are tried
// again a few times, waiting a little longer each time; a server that
// ignores Range is read up to the bytes asked for and no further, holding
// only those. A few recent ranges are kept, so that neighbouring reads cost
// no request. Many threads may read at once, through up to four
// connections, each kept open for the requests after.
//
// The environment tunes it (milliseconds): KOB_HTTP_TIMEOUT_MS, the
// connection and stall timeout (30000); KOB_HTTP_RETRY_DELAY_MS, the first
// wait before a retry, doubled each time (250); KOB_HTTP_RETRIES, how many
// times a failed request is tried again (3).

#ifndef KOB_SOURCE_HTTP_SOURCE_H
#define KOB_SOURCE_HTTP_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kob_failure.h"
#include "source/schemes.h"
#include "source/source.h"

namespace kob {

struct HttpSettings {
  long timeoutMs = 30000;
  long retryDelayMs = 250;
  int retries = 3;
  // Reads smaller than this fetch this much, kept for the reads after.
  std::size_t leastRead = 0;
  // What the environment says, over the defaults.
  static HttpSettings fromEnvironment();
};

// Opens `url` and reads its first bytes (up to `firstRead`), which take its
// identity. Returns null with `error` set when it cannot be read: ENOENT
// (404, 410), EACCES (401, 403), ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH (a
// name that does not resolve), EIO (a server that keeps failing or cuts
// bodies short), EPROTO (an answer that makes no sense), and
// EPROTONOSUPPORT when this build has no support for URLs.
std::unique_ptr<Source> openHttpSource(const std::string& url,
                                       const HttpSettings& settings,
                                       std::size_t firstRead, int& error);

// The row of the table of schemes for http:// and https://: opens `url`
// with the settings of the environment, its identity taken from its first
// bytes (a saved index with small reads that each bring 64 KiB).
std::unique_ptr<Source> openHttp(const std::string& url, Purpose purpose,
                                 Failure& failure);

}  // namespace kob

#endif  // KOB_SOURCE_HTTP_SOURCE_H
