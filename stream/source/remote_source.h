// SPDX-License-Identifier: GPL-2.0-or-later
//
// An object elsewhere, read with ranged GET requests: the part every
// remote source shares, whatever its server (an Endpoint says where the
// requests go and signs them).
//
// The object's identity (its ETag, Last-Modified and length) is taken from
// the first response; every later request carries it as a condition
// (If-Match with a strong ETag, else If-Unmodified-Since), and every
// response is checked against it. An object that changed fails the read
// with ESTALE: a reader never serves bytes of two versions.
//
// A reset connection, a body cut short, a stalled or trickling transfer
// and a 5xx answer are tried again a few times, waiting a little longer
// each time. A server that ignores Range is seen at its first answer: its
// one whole body is then read once, in order, as far as the reads need,
// into an unnamed temporary file that serves them all. Many threads may
// read at once, through up to four connections, each kept open for the
// requests after. No bytes are kept in memory here: a CachedSource over it
// does that (source/range_cache.h).

#ifndef KOB_SOURCE_REMOTE_SOURCE_H
#define KOB_SOURCE_REMOTE_SOURCE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kob_failure.h"
#include "source/remote_request.h"
#include "source/source.h"

namespace kob {

// How many bytes a walk over chunk headers reads at a time from an object
// elsewhere, at first: a request costs a round trip (the range cache makes
// the reads of a long walk grow).
constexpr std::size_t kRemoteWalkRead = 1024 * 1024;

class RemoteSource final : public Source {
 public:
  // Opens the object: its first `firstRead` bytes (fewer when it is
  // shorter) are read into `head`, taking its identity. Returns null with
  // `failure` set when it cannot be read: ENOENT (404, 410), EACCES (401,
  // 403, a certificate refused), EPERM (a redirect to a scheme other than
  // http and https), ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH, EIO (a server
  // that keeps failing or cuts bodies short), EPROTO (an answer that makes
  // no sense); its detail the words of libcurl or the server's status.
  static std::unique_ptr<RemoteSource> open(const CurlLibrary& curl,
                                            std::unique_ptr<Endpoint> endpoint,
                                            const RemoteSettings& settings,
                                            std::size_t firstRead,
                                            std::vector<unsigned char>& head,
                                            Failure& failure);
  ~RemoteSource() override;

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override;
  bool seekable() const override { return true; }
  Identity identity() const override;
  std::size_t walkReadSize() const override { return kRemoteWalkRead; }
  std::string caFile() const override { return settings.caFile; }

  // Whether the server ignores Range, so that the object is read whole.
  bool readsWhole() const { return whole; }
  // Keeps `companion` for as long as the source lives.
  void keepWith(std::shared_ptr<void> companion) { kept = std::move(companion); }
  // Lets nothing end its requests from now on: what settings.cancel
  // pointed to was for the opening only. Before the source is shared.
  void forgetCancel() { settings.cancel = nullptr; }

 private:
  class Lease;
  RemoteSource(const CurlLibrary& curl, std::unique_ptr<Endpoint> endpoint,
               const RemoteSettings& settings);

  // Fetches the `count` bytes at `offset` into `into`, trying again what
  // may pass; `got` the bytes that came.
  Outcome fetch(std::int64_t offset, std::size_t count, unsigned char* into,
                std::size_t& got, bool first);
  // Judges a response's status and who it says the object is; the first
  // takes the identity.
  Outcome judge(const Answer& answer, std::int64_t offset, bool first);
  int readWhole(std::int64_t offset, unsigned char* into, std::size_t count);
  std::string condition() const;
  void wait(int attempt) const;

  const CurlLibrary& curl;
  const std::unique_ptr<Endpoint> endpoint;
  RemoteSettings settings;
  // The connections not in use, and how many there are in all.
  std::mutex poolMutex;
  std::condition_variable poolFree;
  std::vector<std::unique_ptr<Connection>> idle;
  int connections = 0;
  // Set by the first fetch, before the source is shared; read-only after.
  std::int64_t size = 0;
  std::string etag;
  std::string lastModified;
  bool whole = false;
  // A server that ignores Range: its body so far, and the transfer that
  // goes on bringing it.
  std::mutex wholeMutex;
  Spool spool;
  std::unique_ptr<Connection> wholeConnection;
  std::unique_ptr<Transfer> wholeTransfer;
  std::shared_ptr<void> kept;
};

}  // namespace kob

#endif  // KOB_SOURCE_REMOTE_SOURCE_H
