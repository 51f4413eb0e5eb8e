// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/http_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>


#if KOB_HAVE_CURL
#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <vector>
#endif

namespace kob {

namespace {

long fromEnvironment(const char* name, long fallback, long least) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < least) return fallback;
  return value;
}

}  // namespace

HttpSettings HttpSettings::fromEnvironment() {
  HttpSettings settings;
  settings.timeoutMs =
      kob::fromEnvironment("KOB_HTTP_TIMEOUT_MS", settings.timeoutMs, 1);
  settings.retryDelayMs =
      kob::fromEnvironment("KOB_HTTP_RETRY_DELAY_MS", settings.retryDelayMs, 0);
  settings.retries = static_cast<int>(std::min<long>(
      kob::fromEnvironment("KOB_HTTP_RETRIES", settings.retries, 0), 10));
  return settings;
}

#if !KOB_HAVE_CURL

std::unique_ptr<Source> openHttpSource(const std::string&, const HttpSettings&,
                                       std::size_t, int& error) {
  error = EPROTONOSUPPORT;
  return nullptr;
}

#else

namespace {

constexpr std::size_t kWalkRead = 1024 * 1024;
// The ranges kept: a few of them, none larger than a walk's read.
constexpr std::size_t kCachedRanges = 4;
constexpr std::size_t kLargestCached = kWalkRead + kReadAhead;
// Connections to the server at most: threads reading at once beyond that
// wait for one.
constexpr int kHandles = 4;

void initCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// What the server said of one response, from its status line and headers.
struct Answer {
  long status = 0;
  std::string etag;
  std::string lastModified;
  bool hasRange = false;       // a Content-Range header
  std::int64_t rangeFirst = -1;  // its first byte
  std::int64_t rangeLast = -1;   // its last byte
  std::int64_t total = -1;     // the object's length, when said
  std::int64_t contentLength = -1;
};

// Parses "bytes a-b/total" or "bytes */total".
void parseContentRange(const std::string& value, Answer& answer) {
  answer.hasRange = true;
  std::string text = lowered(value);
  if (text.rfind("bytes", 0) != 0) return;
  text = trimmed(text.substr(5));
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return;
  const std::string range = text.substr(0, slash);
  const std::string total = text.substr(slash + 1);
  if (total != "*") {
    char* end = nullptr;
    const long long value = std::strtoll(total.c_str(), &end, 10);
    if (end != total.c_str() && *end == '\0' && value >= 0) answer.total = value;
  }
  const std::size_t dash = range.find('-');
  if (range != "*" && dash != std::string::npos) {
    char* end = nullptr;
    const long long first = std::strtoll(range.c_str(), &end, 10);
    const long long last = std::strtoll(range.c_str() + dash + 1, &end, 10);
    if (first >= 0 && last >= first) {
      answer.rangeFirst = first;
      answer.rangeLast = last;
    }
  }
}

// One transfer's state, seen by libcurl's callbacks.
struct Transfer {
  Answer answer;
  std::int64_t offset = 0;  // the first byte wanted
  std::size_t count = 0;    // how many are wanted
  unsigned char* into = nullptr;
  std::size_t got = 0;          // bytes of the wanted range received
  std::int64_t bodySeen = 0;    // bytes of the body received
  bool enough = false;          // stopped on purpose: all that was wanted came
  bool unwanted = false;        // stopped: the body is not what was asked for
};

std::size_t onHeader(char* data, std::size_t size, std::size_t items,
                     void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::size_t length = size * items;
  const std::string line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (after a redirect or an interim answer): start over.
    transfer.answer = Answer();
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) {
      transfer.answer.status = std::strtol(line.c_str() + space + 1, nullptr, 10);
    }
    return length;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return length;
  const std::string name = lowered(trimmed(line.substr(0, colon)));
  const std::string value = trimmed(line.substr(colon + 1));
  if (name == "etag") {
    transfer.answer.etag = value;
  } else if (name == "last-modified") {
    transfer.answer.lastModified = value;
  } else if (name == "content-range") {
    parseContentRange(value, transfer.answer);
  } else if (name == "content-length") {
    char* end = nullptr;
    const long long n = std::strtoll(value.c_str(), &end, 10);
    if (end != value.c_str() && n >= 0) transfer.answer.contentLength = n;
  }
  return length;
}

// Keeps the wanted bytes of the body and nothing else: a whole object sent
// in answer to a range is read up to the end of the range, then dropped.
std::size_t onBody(char* data, std::size_t size, std::size_t items,
                   void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::size_t length = size * items;
  const long status = transfer.answer.status;
  if (status != 200 && status != 206) {
    transfer.unwanted = true;  // an error page: not read
    return 0;
  }
  // Where this piece lies in the object.
  std::int64_t pieceAt = transfer.bodySeen;
  if (status == 206) {
    if (transfer.answer.rangeFirst != transfer.offset) {
      transfer.unwanted = true;  // another range than the one asked for
      return 0;
    }
    pieceAt += transfer.offset;
  }
  transfer.bodySeen += static_cast<std::int64_t>(length);
  const std::int64_t wantedEnd =
      transfer.offset + static_cast<std::int64_t>(transfer.count);
  const std::int64_t from = std::max(pieceAt, transfer.offset +
                                                  static_cast<std::int64_t>(transfer.got));
  const std::int64_t to =
      std::min(pieceAt + static_cast<std::int64_t>(length), wantedEnd);
  if (to > from) {
    std::memcpy(transfer.into + (from - transfer.offset),
                data + (from - pieceAt), static_cast<std::size_t>(to - from));
    transfer.got = static_cast<std::size_t>(to - transfer.offset);
  }
  if (transfer.got == transfer.count &&
      pieceAt + static_cast<std::int64_t>(length) >= wantedEnd) {
    // All that was wanted has come. A range ends here anyway; a whole
    // object is not read further.
    if (status == 200 && pieceAt + static_cast<std::int64_t>(length) > wantedEnd) {
      transfer.enough = true;
      return 0;
    }
    if (status == 206 && pieceAt + static_cast<std::int64_t>(length) > wantedEnd) {
      transfer.unwanted = true;  // more than the range asked for
      return 0;
    }
  }
  return length;
}

class HttpSource final : public Source {
 public:
  HttpSource(std::string aUrl, const HttpSettings& someSettings)
      : url(std::move(aUrl)), settings(someSettings) {
    initCurl();
  }
  ~HttpSource() override {
    for (CURL* handle : idle) curl_easy_cleanup(handle);
  }
  HttpSource(const HttpSource&) = delete;
  HttpSource& operator=(const HttpSource&) = delete;

  // The first read: takes the object's identity.
  int start(std::size_t firstRead) {
    std::vector<unsigned char> bytes(std::max<std::size_t>(firstRead, 1));
    std::size_t got = 0;
    const int error = fetch(0, bytes.size(), bytes.data(), got, true);
    if (error != 0) return error;
    bytes.resize(got);
    keep(0, std::move(bytes));
    return 0;
  }

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    if (offset < 0) {
      error = EINVAL;
      return -1;
    }
    if (offset >= size || count == 0) return 0;
    count = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
    if (serveKept(offset, into, count)) return static_cast<std::int64_t>(count);
    if (count < settings.leastRead) {
      // A small read brings its neighbours too, for the reads after it.
      std::vector<unsigned char> bytes(static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(settings.leastRead),
                                 size - offset)));
      std::size_t got = 0;
      if (const int failed = fetch(offset, bytes.size(), bytes.data(), got, false)) {
        error = failed;
        return -1;
      }
      bytes.resize(got);
      const std::size_t served = std::min(count, got);
      std::memcpy(into, bytes.data(), served);
      keep(offset, std::move(bytes));
      return static_cast<std::int64_t>(served);
    }
    std::size_t got = 0;
    if (const int failed = fetch(offset, count, into, got, false)) {
      error = failed;
      return -1;
    }
    if (count <= kLargestCached) {
      keep(offset, std::vector<unsigned char>(into, into + got));
    }
    return static_cast<std::int64_t>(got);
  }

  bool seekable() const override { return true; }
  std::size_t walkReadSize() const override { return kWalkRead; }
  Identity identity() const override {
    Identity identity;
    identity.size = size;
    identity.version = strongTag(etag) ? etag : lastModified;
    return identity;
  }

 private:
  struct Kept {
    std::int64_t offset;
    std::vector<unsigned char> bytes;
  };

  bool serveKept(std::int64_t offset, unsigned char* into, std::size_t count) {
    std::lock_guard<std::mutex> lock(keptMutex);
    for (auto it = kept.begin(); it != kept.end(); ++it) {
      if (offset >= it->offset &&
          offset + static_cast<std::int64_t>(count) <=
              it->offset + static_cast<std::int64_t>(it->bytes.size())) {
        std::memcpy(into, it->bytes.data() + (offset - it->offset), count);
        kept.splice(kept.begin(), kept, it);  // the most recent first
        return true;
      }
    }
    return false;
  }

  void keep(std::int64_t offset, std::vector<unsigned char> bytes) {
    if (bytes.empty()) return;
    std::lock_guard<std::mutex> lock(keptMutex);
    kept.push_front(Kept{offset, std::move(bytes)});
    while (kept.size() > kCachedRanges) kept.pop_back();
  }

  static bool strongTag(const std::string& tag) {
    return !tag.empty() && tag.rfind("W/", 0) != 0;
  }

  // Fetches the `count` bytes at `offset`, retrying what may pass. The
  // first fetch takes the identity; later ones must match it.
  // A handle of the pool, its connection kept for the requests after.
  class Handle {
   public:
    explicit Handle(HttpSource& aSource) : source(aSource) {
      std::unique_lock<std::mutex> lock(source.poolMutex);
      source.poolFree.wait(lock, [&] {
        return !source.idle.empty() || source.handles < kHandles;
      });
      if (!source.idle.empty()) {
        handle = source.idle.back();
        source.idle.pop_back();
      } else if ((handle = curl_easy_init()) != nullptr) {
        ++source.handles;
      }
    }
    ~Handle() {
      if (handle == nullptr) return;
      std::lock_guard<std::mutex> lock(source.poolMutex);
      source.idle.push_back(handle);
      source.poolFree.notify_one();
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    CURL* get() const { return handle; }

   private:
    HttpSource& source;
    CURL* handle = nullptr;
  };

  int fetch(std::int64_t offset, std::size_t count, unsigned char* into,
            std::size_t& got, bool first) {
    const Handle taken(*this);
    if (taken.get() == nullptr) return ENOMEM;
    int error = 0;
    for (int attempt = 0;; ++attempt) {
      bool retry = false;
      error = once(taken.get(), offset, count, into, got, first, retry);
      if (error == 0 || !retry || attempt >= settings.retries) return error;
      const long wait = settings.retryDelayMs << std::min(attempt, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
  }

  int once(CURL* handle, std::int64_t offset, std::size_t count,
           unsigned char* into, std::size_t& got, bool first, bool& retry) {
    Transfer transfer;
    transfer.offset = offset;
    transfer.count = count;
    transfer.into = into;
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, settings.timeoutMs);
    // A transfer that stalls for the timeout (to the second) fails.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, (settings.timeoutMs + 999) / 1000));
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "kob");
    const std::string range =
        std::to_string(offset) + "-" +
        std::to_string(offset + static_cast<std::int64_t>(count) - 1);
    curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    curl_slist* headers = nullptr;
    if (!first) {
      const std::string condition =
          strongTag(etag) ? "If-Match: " + etag
          : !lastModified.empty() ? "If-Unmodified-Since: " + lastModified
                                  : std::string();
      if (!condition.empty()) headers = curl_slist_append(headers, condition.c_str());
    }
    if (headers != nullptr) curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    const CURLcode code = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    got = transfer.got;
    const Answer& answer = transfer.answer;

    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && (transfer.enough || transfer.unwanted))) {
      switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
          return EHOSTUNREACH;
        case CURLE_COULDNT_CONNECT:
          retry = true;
          return ECONNREFUSED;
        case CURLE_OPERATION_TIMEDOUT:
          retry = true;
          return ETIMEDOUT;
        case CURLE_UNSUPPORTED_PROTOCOL:
          return EPROTONOSUPPORT;
        case CURLE_TOO_MANY_REDIRECTS:
          return ELOOP;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
          return EACCES;
        default:
          // A reset, a body cut short, nothing at all: tried again.
          retry = true;
          return EIO;
      }
    }
    const long status = answer.status;
    if (status == 404 || status == 410) return ENOENT;
    if (status == 401 || status == 403) return EACCES;
    if (status == 412) return ESTALE;  // the object is no longer the one read
    if (status >= 500) {
      retry = true;
      return EIO;
    }
    if (status == 416) {
      // Nothing at the start: an empty object. Later: it became shorter.
      if (!first || answer.total != 0) return first ? EPROTO : ESTALE;
      size = 0;
      etag = answer.etag;
      lastModified = answer.lastModified;
      got = 0;
      return 0;
    }
    if (status != 200 && status != 206) return EPROTO;
    if (status == 206 && (answer.rangeFirst != offset || answer.total < 0)) {
      return EPROTO;
    }
    const std::int64_t total = status == 206 ? answer.total : answer.contentLength;
    if (first) {
      if (total < 0) return EPROTO;  // a length must be known
      size = total;
      etag = answer.etag;
      lastModified = answer.lastModified;
    } else if (total != size || answer.etag != etag ||
               (!answer.lastModified.empty() && !lastModified.empty() &&
                answer.lastModified != lastModified)) {
      return ESTALE;
    }
    if (transfer.unwanted) return EPROTO;
    const std::size_t expected = static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(count), std::max<std::int64_t>(size - offset, 0)));
    if (got != expected) {
      retry = true;  // cut short
      return EIO;
    }
    return 0;
  }

  const std::string url;
  const HttpSettings settings;
  // The handles not in use, and how many there are in all.
  std::mutex poolMutex;
  std::condition_variable poolFree;
  std::vector<CURL*> idle;
  int handles = 0;
  // Set by the first fetch, before the source is shared; read-only after.
  std::int64_t size = 0;
  std::string etag;
  std::string lastModified;
  std::mutex keptMutex;
  std::list<Kept> kept;  // the most recent first
};

}  // namespace

std::unique_ptr<Source> openHttpSource(const std::string& url,
                                       const HttpSettings& settings,
                                       std::size_t firstRead, int& error) {
  auto source = std::make_unique<HttpSource>(url, settings);
  error = source->start(firstRead);
  if (error != 0) return nullptr;
  return source;
}

#endif

std::unique_ptr<Source> openHttp(const std::string& url, Purpose purpose,
                                 Failure& failure) {
  HttpSettings settings = HttpSettings::fromEnvironment();
  // The first read brings the signature and the first chunk headers; an
  // index is read in blocks of a few hundred bytes, so each request brings
  // many, and the first the preamble and milestones of most.
  std::size_t firstRead = 16 * 1024;
  if (purpose == Purpose::Index) {
    settings.leastRead = kReadAhead;
    firstRead = settings.leastRead;
  }
  int error = 0;
  std::unique_ptr<Source> source = openHttpSource(url, settings, firstRead, error);
  if (!source) failure = Failure::ofError(error);
  return source;
}

}  // namespace kob
