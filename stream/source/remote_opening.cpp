// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/remote_opening.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "kob_names.h"
#include "source/curl_library.h"
#include "source/range_cache.h"
#include "source/remote_source.h"

namespace kob {
namespace {

// The first read of a data object brings the signature and the first
// chunk headers.
constexpr std::size_t kDataHead = 16 * 1024;
// An index is read in blocks of a few hundred bytes: each request brings
// this much, the first the preamble and milestones of most.
constexpr std::size_t kIndexRead = kReadAhead;

// Opens the object at `endpoint` with `settings`, read through a range
// cache; `companion` lives as long as the source.
std::unique_ptr<Source> openWith(const CurlLibrary& curl, std::unique_ptr<Endpoint> endpoint,
                                 Purpose purpose, const RemoteSettings& settings,
                                 std::shared_ptr<void> companion,
                                 Failure& failure) {
  const bool index = purpose == Purpose::Index;
  std::vector<unsigned char> head;
  std::unique_ptr<RemoteSource> remote =
      RemoteSource::open(curl, std::move(endpoint), settings,
                         index ? kIndexRead : kDataHead, head, failure);
  if (!remote) return nullptr;
  remote->forgetCancel();
  if (companion) remote->keepWith(std::move(companion));
  return std::make_unique<CachedSource>(std::move(remote),
                                        index ? kIndexRead : 0, std::move(head));
}

// The first request for a data object's saved index, made while the data
// object's own is under way.
class IndexPrefetch {
 public:
  // Starts it; null when no thread can be had (the index is then opened
  // when asked for, as any).
  static std::shared_ptr<IndexPrefetch> start(const CurlLibrary& curl,
                                              const std::string& name,
                                              std::unique_ptr<Endpoint> endpoint,
                                              RemoteSettings settings) {
    auto prefetch = std::make_shared<IndexPrefetch>(name, std::move(endpoint));
    settings.cancel = &prefetch->cancelled;
    IndexPrefetch* raw = prefetch.get();
    try {
      prefetch->worker = std::thread([raw, &curl, settings] {
        Failure failure;
        std::unique_ptr<Source> source = openWith(
            curl, std::move(raw->endpoint), Purpose::Index, settings, nullptr, failure);
        std::lock_guard<std::mutex> lock(raw->mutex);
        raw->source = std::move(source);
        raw->failure = failure;
        raw->done = true;
        raw->ready.notify_all();
      });
    } catch (const std::system_error&) {
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    sweep();
    registry().emplace(name, prefetch);
    return prefetch;
  }

  // The prefetch for `name`, taken from the registry: null when none.
  static std::shared_ptr<IndexPrefetch> claim(const std::string& name) {
    std::lock_guard<std::mutex> lock(registryMutex());
    sweep();
    auto found = registry().find(name);
    if (found == registry().end()) return nullptr;
    std::shared_ptr<IndexPrefetch> prefetch = found->second.lock();
    registry().erase(found);
    return prefetch;
  }

  IndexPrefetch(std::string aName, std::unique_ptr<Endpoint> anEndpoint)
      : name(std::move(aName)), endpoint(std::move(anEndpoint)) {}
  ~IndexPrefetch() {
    cancelled = true;
    if (worker.joinable()) worker.join();
  }
  IndexPrefetch(const IndexPrefetch&) = delete;
  IndexPrefetch& operator=(const IndexPrefetch&) = delete;

  // The index it opened, or why not; waits for its request to end.
  std::unique_ptr<Source> take(Failure& why) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return done; });
    why = failure;
    return std::move(source);
  }

 private:
  using Registry = std::multimap<std::string, std::weak_ptr<IndexPrefetch>>;
  static std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static Registry& registry() {
    static Registry prefetches;
    return prefetches;
  }
  // Drops the prefetches whose data object is gone.
  static void sweep() {
    for (auto it = registry().begin(); it != registry().end();) {
      it = it->second.expired() ? registry().erase(it) : std::next(it);
    }
  }

  const std::string name;
  std::unique_ptr<Endpoint> endpoint;  // the worker's, once it starts
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable ready;
  bool done = false;
  std::unique_ptr<Source> source;
  Failure failure;
  std::thread worker;
};

// Whether `name` names a saved index: its last segment is NAME.kbi.
bool isSavedIndexName(const std::string& name) {
  const std::string last = lastSegment(name);
  const std::string suffix = indexNameFor("");  // ".kbi"
  return last.size() > suffix.size() &&
         last.compare(last.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::unique_ptr<Source> openRemote(const std::string& name, Purpose purpose,
                                   const OpenRules& rules, const EndpointFor& endpointFor,
                                   Failure& failure) {
  // The index code opens a saved index as any file (Purpose::Data): its
  // name tells it, and a prefetch made for that name.
  if (std::shared_ptr<IndexPrefetch> prefetch = IndexPrefetch::claim(name)) {
    return prefetch->take(failure);
  }
  if (isSavedIndexName(name)) purpose = Purpose::Index;
  std::string why;
  const CurlLibrary* curl = loadCurl(why);
  if (curl == nullptr) {
    failure = Failure::ofError(EPROTONOSUPPORT);
    failure.detail = why;
    return nullptr;
  }
  if (rules.caFile.find('\0') != std::string::npos) {
    failure = Failure::ofError(EINVAL);
    failure.detail = "the name of a CA file holds no NUL";
    return nullptr;
  }
  std::unique_ptr<Endpoint> endpoint = endpointFor(name, failure);
  if (!endpoint) return nullptr;
  const RemoteSettings settings = RemoteSettings::fromEnvironment(rules.caFile);
  std::shared_ptr<IndexPrefetch> prefetch;
  if (purpose == Purpose::Data) {
    const std::string indexName = indexNameFor(name);
    Failure unreachable;
    if (std::unique_ptr<Endpoint> beside = endpointFor(indexName, unreachable)) {
      prefetch = IndexPrefetch::start(*curl, indexName, std::move(beside), settings);
    }
  }
  return openWith(*curl, std::move(endpoint), purpose, settings, std::move(prefetch),
                  failure);
}

}  // namespace kob
