// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/range_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/format.h"

namespace kob {

CachedSource::CachedSource(std::unique_ptr<Source> anInner,
                           std::size_t aLeastFetch,
                           std::vector<unsigned char> head)
    : inner(std::move(anInner)),
      leastFetch(std::min(aLeastFetch, kLargestRun)),
      size(inner->identity().size) {
  // The head starts no run: a lookup whose chunk crosses its end reads
  // only that chunk.
  if (!head.empty()) keep(0, std::move(head));
}

std::size_t CachedSource::heldBytes() const {
  std::lock_guard<std::mutex> lock(mutex);
  return held;
}

std::int64_t CachedSource::readAt(std::int64_t offset, unsigned char* into,
                                  std::size_t count, int& error) {
  if (offset < 0) {
    error = EINVAL;
    return -1;
  }
  if (size >= 0) {
    if (offset >= size) return 0;
    count = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
  }
  if (count == 0) return 0;
  const std::size_t served = serve(offset, into, count);
  if (served == count) return static_cast<std::int64_t>(count);
  const std::int64_t at = offset + static_cast<std::int64_t>(served);
  const std::size_t wanted = count - served;
  std::size_t fetch = fetchSize(at, wanted);
  if (size >= 0) {
    fetch = static_cast<std::size_t>(std::max<std::int64_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(fetch), size - at),
        static_cast<std::int64_t>(wanted)));
  }
  // A read that fails fails whole, even where some bytes were held: fewer
  // bytes than asked would say the source ends there.
  if (fetch > kCacheBound) {
    // Too large to keep: read straight into the caller's bytes.
    const std::int64_t got = inner->readAt(at, into + served, wanted, error);
    return got < 0 ? -1 : static_cast<std::int64_t>(served) + got;
  }
  std::vector<unsigned char> bytes(fetch);
  std::size_t got = 0;
  while (got < fetch) {
    const std::int64_t n = inner->readAt(at + static_cast<std::int64_t>(got),
                                         bytes.data() + got, fetch - got, error);
    if (n < 0) {
      if (got >= wanted) break;  // what was asked for is there
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  const std::size_t given = std::min(got, wanted);
  if (given > 0) std::memcpy(into + served, bytes.data(), given);
  keep(at, std::move(bytes));
  return static_cast<std::int64_t>(served + given);
}

std::size_t CachedSource::serve(std::int64_t offset, unsigned char* into,
                                std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  std::size_t served = 0;
  for (bool found = true; found && served < count;) {
    found = false;
    const std::int64_t at = offset + static_cast<std::int64_t>(served);
    for (auto it = ranges.begin(); it != ranges.end(); ++it) {
      if (at < it->offset || at >= it->end()) continue;
      const std::size_t n = std::min(
          count - served, static_cast<std::size_t>(it->end() - at));
      std::memcpy(into + served, it->bytes.data() + (at - it->offset), n);
      served += n;
      ranges.splice(ranges.begin(), ranges, it);  // the most recent first
      found = true;
      break;
    }
  }
  return served;
}

std::size_t CachedSource::fetchSize(std::int64_t offset, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  // A read that starts within the last fetch, where it ended, or no more
  // than a chunk beyond (a walk over the headers alone skips the payloads
  // between) goes on in order; from the second such in a row the run grows
  // (one alone is a lookup whose bytes cross into the next chunk). Any
  // other starts afresh.
  constexpr auto kSkippedChunk = static_cast<std::int64_t>(kHeaderSize + kMaxFieldValue);
  const bool onward =
      lastStart >= 0 && offset >= lastStart && offset <= lastEnd + kSkippedChunk;
  streak = onward ? streak + 1 : 0;
  run = streak >= 2 ? std::min(std::max(run * 2, kFirstRun), kLargestRun) : 0;
  const std::size_t fetch = std::max({count, leastFetch, run});
  lastStart = offset;
  lastEnd = offset + static_cast<std::int64_t>(fetch);
  return fetch;
}

void CachedSource::keep(std::int64_t offset, std::vector<unsigned char> bytes) {
  if (bytes.empty() || bytes.size() > kCacheBound) return;
  std::lock_guard<std::mutex> lock(mutex);
  held += bytes.size();
  ranges.push_front(Range{offset, std::move(bytes)});
  while (held > kCacheBound) {
    held -= ranges.back().bytes.size();
    ranges.pop_back();
  }
}

}  // namespace kob
