// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/remote_source.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace kob {
namespace {

// Connections to the server at most: threads reading at once beyond that
// wait for one.
constexpr int kConnections = 4;

std::string statusWords(long status) {
  return "the server answered " + std::to_string(status);
}

}  // namespace

// A connection of the pool, given back when done with (or kept by a whole
// body, which then owns it).
class RemoteSource::Lease {
 public:
  explicit Lease(RemoteSource& aSource) : source(aSource) {
    std::unique_lock<std::mutex> lock(source.poolMutex);
    source.poolFree.wait(lock, [&] {
      return !source.idle.empty() || source.connections < kConnections;
    });
    if (!source.idle.empty()) {
      connection = std::move(source.idle.back());
      source.idle.pop_back();
    } else {
      connection = std::make_unique<Connection>(source.curl);
      ++source.connections;
    }
  }
  ~Lease() {
    std::lock_guard<std::mutex> lock(source.poolMutex);
    if (connection) {
      source.idle.push_back(std::move(connection));
    } else {
      --source.connections;
    }
    source.poolFree.notify_one();
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Connection& get() const { return *connection; }
  std::unique_ptr<Connection> release() { return std::move(connection); }

 private:
  RemoteSource& source;
  std::unique_ptr<Connection> connection;
};

RemoteSource::RemoteSource(const CurlLibrary& aCurl,
                           std::unique_ptr<Endpoint> anEndpoint,
                           const RemoteSettings& someSettings)
    : curl(aCurl), endpoint(std::move(anEndpoint)), settings(someSettings) {}

RemoteSource::~RemoteSource() = default;

std::unique_ptr<RemoteSource> RemoteSource::open(
    const CurlLibrary& curl, std::unique_ptr<Endpoint> endpoint,
    const RemoteSettings& settings, std::size_t firstRead,
    std::vector<unsigned char>& head, Failure& failure) {
  std::unique_ptr<RemoteSource> source(
      new RemoteSource(curl, std::move(endpoint), settings));
  head.resize(std::max<std::size_t>(firstRead, 1));
  std::size_t got = 0;
  const Outcome outcome = source->fetch(0, head.size(), head.data(), got, true);
  if (outcome.error != 0) {
    failure = Failure::ofError(outcome.error);
    failure.detail = outcome.detail;
    return nullptr;
  }
  head.resize(got);
  return source;
}

std::int64_t RemoteSource::readAt(std::int64_t offset, unsigned char* into,
                                  std::size_t count, int& error) {
  if (offset < 0) {
    error = EINVAL;
    return -1;
  }
  if (offset >= size || count == 0) return 0;
  count = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
  if (whole) {
    error = readWhole(offset, into, count);
    return error == 0 ? static_cast<std::int64_t>(count) : -1;
  }
  std::size_t got = 0;
  const Outcome outcome = fetch(offset, count, into, got, false);
  if (outcome.error != 0) {
    error = outcome.error;
    return -1;
  }
  return static_cast<std::int64_t>(got);
}

Identity RemoteSource::identity() const {
  Identity identity;
  identity.size = size;
  identity.version = strongTag(etag) ? etag : lastModified;
  return identity;
}

std::string RemoteSource::condition() const {
  if (strongTag(etag)) return "If-Match: " + etag;
  if (!lastModified.empty()) return "If-Unmodified-Since: " + lastModified;
  return "";
}

void RemoteSource::wait(int attempt) const {
  const long delay = settings.retryDelayMs << std::min(attempt, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

Outcome RemoteSource::fetch(std::int64_t offset, std::size_t count,
                            unsigned char* into, std::size_t& got,
                            bool first) {
  Lease lease(*this);
  if (!lease.get().ok()) return {ENOMEM, false, ""};
  // What a first answer that started a whole body said: a retry's body
  // must be of the same version to go on in the spool.
  std::int64_t spooledLength = -1;
  std::string spooledTag;
  for (int attempt = 0;; ++attempt) {
    Request request;
    request.offset = offset;
    request.count = count;
    request.into = into;
    if (!first) request.condition = condition();
    // Only the first answer may start a whole body: a server seen to
    // honour Range that later ignores it is read as far as needed.
    if (first) request.spool = &spool;
    request.expectLength = spooledLength;
    request.expectTag = spooledTag;
    auto transfer = std::make_unique<Transfer>(lease.get(), *endpoint, settings, request);
    const std::int64_t end = offset + static_cast<std::int64_t>(count);
    Outcome outcome = transfer->run(static_cast<std::int64_t>(count), end);
    if (outcome.error == 0) outcome = judge(transfer->answer(), offset, first);
    if (outcome.error == 0 && transfer->unwanted()) {
      // A retry's whole body of another version than the one spooled.
      outcome = spooledLength >= 0
                    ? Outcome{ESTALE, false, ""}
                    : Outcome{EPROTO, false, "the body is not the range asked for"};
    }
    got = transfer->got();
    const std::size_t expected = static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(count), std::max<std::int64_t>(size - offset, 0)));
    if (outcome.error == 0 && got != expected) {
      outcome = {EIO, true, "the body was cut short"};
    }
    if (outcome.error == 0) {
      if (first && transfer->answer().status == 200) {
        // The server ignores Range: its body goes on into the spool.
        whole = true;
        wholeTransfer = std::move(transfer);
        wholeConnection = lease.release();
      }
      return outcome;
    }
    if (first && spool.length() > 0 && spooledLength < 0) {
      spooledLength = transfer->answer().contentLength;
      spooledTag = transfer->answer().etag;
    }
    if (!outcome.retry || attempt >= settings.retries) return outcome;
    wait(attempt);
  }
}

Outcome RemoteSource::judge(const Answer& answer, std::int64_t offset,
                            bool first) {
  const long status = answer.status;
  // What the server said beyond its status, where its kind says more.
  const Outcome said = status == 200 || status == 206 ? Outcome() : endpoint->refusal(answer);
  if (said.error != 0) return said;
  const std::string words = said.detail.empty() ? statusWords(status) : said.detail;
  if (status == 404 || status == 410) return {ENOENT, false, said.detail};
  if (status == 401 || status == 403) return {EACCES, false, words};
  // The object is no longer the one read.
  if (status == 412) return {ESTALE, false, said.detail};
  if (status >= 500) return {EIO, true, words};
  if (status == 416) {
    // Nothing at the start: an empty object. Later: it became shorter.
    if (!first || answer.total != 0) {
      return {first ? EPROTO : ESTALE, false, first ? words : said.detail};
    }
    size = 0;
    etag = answer.etag;
    lastModified = answer.lastModified;
    return {};
  }
  if (status != 200 && status != 206) return {EPROTO, false, words};
  if (status == 206 && (answer.rangeFirst != offset || answer.total < 0)) {
    return {EPROTO, false, "the server sent another range than the one asked for"};
  }
  const std::int64_t total = answer.objectLength();
  if (first) {
    if (total < 0) return {EPROTO, false, "the server gave no length"};
    size = total;
    etag = answer.etag;
    lastModified = answer.lastModified;
  } else if (total != size || answer.etag != etag ||
             (!answer.lastModified.empty() && !lastModified.empty() &&
              answer.lastModified != lastModified)) {
    return {ESTALE, false, ""};
  }
  return {};
}

int RemoteSource::readWhole(std::int64_t offset, unsigned char* into,
                            std::size_t count) {
  std::lock_guard<std::mutex> lock(wholeMutex);
  const std::int64_t end = offset + static_cast<std::int64_t>(count);
  for (int attempt = 0;;) {
    if (spool.length() >= end) return spool.read(offset, into, count);
    Outcome outcome;
    if (!wholeTransfer || wholeTransfer->ended()) {
      // Cut short, or failed before: the body again from its start, its
      // bytes up to those held skipped.
      wholeTransfer.reset();
      if (!wholeConnection) wholeConnection = std::make_unique<Connection>(curl);
      Request request;
      request.condition = condition();
      request.spool = &spool;
      request.expectLength = size;
      request.expectTag = etag;
      wholeTransfer = std::make_unique<Transfer>(*wholeConnection, *endpoint,
                                                 settings, request);
    }
    outcome = wholeTransfer->run(end - spool.length(), end);
    if (outcome.error == 0) outcome = judge(wholeTransfer->answer(), 0, false);
    if (outcome.error == 0 && wholeTransfer->answer().status != 200) {
      outcome = {EPROTO, false, statusWords(wholeTransfer->answer().status)};
    }
    if (outcome.error == 0 && wholeTransfer->unwanted()) outcome = {ESTALE, false, ""};
    if (outcome.error == 0 && spool.length() < end) {
      if (!wholeTransfer->ended()) continue;
      outcome = {EIO, true, "the body was cut short"};
    }
    if (outcome.error == 0) continue;
    wholeTransfer.reset();
    if (!outcome.retry || attempt >= settings.retries) return outcome.error;
    wait(attempt++);
  }
}

}  // namespace kob
