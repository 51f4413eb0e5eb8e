// SPDX-License-Identifier: GPL-2.0-or-later
//
// Ranges of a source whose reads each cost a request, kept in memory: any
// remote source is read through one. Neighbouring reads cost no request;
// reads that go on where the last fetch ended (or a chunk beyond, as a
// walk over the headers alone does), twice in a row or more, fetch ranges
// that grow (1 MiB, doubled each time up to 8 MiB), so that a walk over a
// whole object, or reading it in order, costs a few requests; small reads
// may bring their neighbours (an index read in blocks of a few hundred
// bytes).
//
// Its bound: the ranges kept hold at most kCacheBound bytes (twice the
// largest fetch, so that a read across two fetches is served); the oldest
// used go first. A read larger than that is passed through and not kept.
// Many threads may read at once; the cache's lock is not held while the
// source below reads.

#ifndef KOB_SOURCE_RANGE_CACHE_H
#define KOB_SOURCE_RANGE_CACHE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "source/source.h"

namespace kob {

// The fetch of a read that goes on in order, at first and at most.
constexpr std::size_t kFirstRun = 1024 * 1024;
constexpr std::size_t kLargestRun = 8 * 1024 * 1024;
// The bytes a cache holds at most.
constexpr std::size_t kCacheBound = 2 * kLargestRun;

class CachedSource final : public Source {
 public:
  // Reads `inner`, which is seekable and says its size. A read smaller
  // than `leastFetch` fetches that much. `head` holds the bytes at offset 0
  // already read (its first request's), kept.
  CachedSource(std::unique_ptr<Source> inner, std::size_t leastFetch,
               std::vector<unsigned char> head = {});

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override;
  bool seekable() const override { return true; }
  Identity identity() const override { return inner->identity(); }
  std::size_t walkReadSize() const override { return inner->walkReadSize(); }
  std::string caFile() const override { return inner->caFile(); }

  Source& below() const { return *inner; }
  // Bytes held now.
  std::size_t heldBytes() const;

 private:
  struct Range {
    std::int64_t offset;
    std::vector<unsigned char> bytes;
    std::int64_t end() const {
      return offset + static_cast<std::int64_t>(bytes.size());
    }
  };
  // Copies what the ranges hold from `offset` on, in order; returns how
  // many bytes.
  std::size_t serve(std::int64_t offset, unsigned char* into, std::size_t count);
  // How much to fetch at `offset` for `count` bytes wanted.
  std::size_t fetchSize(std::int64_t offset, std::size_t count);
  void keep(std::int64_t offset, std::vector<unsigned char> bytes);

  const std::unique_ptr<Source> inner;
  const std::size_t leastFetch;
  const std::int64_t size;
  mutable std::mutex mutex;
  std::list<Range> ranges;  // the most recently used first
  std::size_t held = 0;
  // The last fetch, how many fetches in a row went on in order, and the
  // size of the last of them.
  std::int64_t lastStart = -1;
  std::int64_t lastEnd = -1;
  int streak = 0;
  std::size_t run = 0;
};

}  // namespace kob

#endif  // KOB_SOURCE_RANGE_CACHE_H
