// SPDX-License-Identifier: GPL-2.0-or-later
// The range cache over a source whose reads are counted: random reads
// compared with the bytes below, within the cache's bound; reads in order
// fetch growing ranges; scattered reads fetch what they ask for; a failed
// read fails whole.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "source/range_cache.h"
#include "source/source.h"
#include "test_util.h"

namespace {

// Bytes in memory whose reads are recorded, and can be made to fail; or,
// not `counted`, read by many threads at once with no lock of their own, so
// that only the cache's lock orders the threads' steps.
class CountingSource final : public kob::Source {
 public:
  CountingSource(std::string someBytes, bool isCounted)
      : bytes(std::move(someBytes)), counted(isCounted) {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into, std::size_t count,
                      int& error) override {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (counted) {
      lock.lock();
      reads.emplace_back(offset, count);
    }
    if (failing) {
      error = EIO;
      return -1;
    }
    if (offset < 0 || offset >= static_cast<std::int64_t>(bytes.size())) return 0;
    const std::size_t n =
        std::min(count, bytes.size() - static_cast<std::size_t>(offset));
    std::memcpy(into, bytes.data() + offset, n);
    return static_cast<std::int64_t>(n);
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override {
    kob::Identity identity;
    identity.size = static_cast<std::int64_t>(bytes.size());
    identity.version = "\"v1\"";
    return identity;
  }
  std::size_t walkReadSize() const override { return 12345; }

  const std::string bytes;
  const bool counted;
  std::mutex mutex;
  std::vector<std::pair<std::int64_t, std::size_t>> reads;
  bool failing = false;
};

struct Cached {
  Cached(std::string bytes, std::size_t leastFetch,
         std::vector<unsigned char> head = {}, bool counted = true) {
    auto owned = std::make_unique<CountingSource>(std::move(bytes), counted);
    below = owned.get();
    cache = std::make_unique<kob::CachedSource>(std::move(owned), leastFetch,
                                                std::move(head));
  }
  std::string read(std::int64_t at, std::size_t count, int& error) {
    std::string out(count, '\0');
    const std::int64_t got = cache->readAt(
        at, reinterpret_cast<unsigned char*>(out.data()), count, error);
    if (got < 0) return "<failed>";
    out.resize(static_cast<std::size_t>(got));
    return out;
  }
  CountingSource* below;
  std::unique_ptr<kob::CachedSource> cache;
};

TEST(RangeCache, AnswersAsTheBytesBelowWithinItsBound) {
  std::mt19937 rng(kobtest::testSeed("RangeCache"));
  for (int round = 0; round < 6; ++round) {
    const std::size_t size = std::uniform_int_distribution<std::size_t>(
        0, round < 2 ? 5000 : 40u << 20)(rng);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const std::size_t least =
        std::uniform_int_distribution<int>(0, 1)(rng) ? 0 : 65536;
    const std::size_t headSize = std::min<std::size_t>(
        size, std::uniform_int_distribution<std::size_t>(0, 20000)(rng));
    Cached cached(data, least,
                  std::vector<unsigned char>(data.begin(), data.begin() + headSize));
    EXPECT_EQ(cached.cache->identity().size, static_cast<std::int64_t>(size));
    EXPECT_EQ(cached.cache->identity().version, "\"v1\"");
    EXPECT_EQ(cached.cache->walkReadSize(), 12345u);
    std::int64_t next = 0;
    for (int op = 0; op < 200; ++op) {
      // Half of the reads go on where the one before ended, as a walk does.
      const bool onward = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
      const std::int64_t at =
          onward ? next
                 : std::uniform_int_distribution<std::int64_t>(
                       -2, static_cast<std::int64_t>(size) + 10)(rng);
      const std::size_t count = std::uniform_int_distribution<std::size_t>(
          0, std::uniform_int_distribution<int>(0, 9)(rng) == 0 ? 20u << 20 : 70000)(rng);
      SCOPED_TRACE("round " + std::to_string(round) + " op " + std::to_string(op) +
                   " at " + std::to_string(at) + " count " + std::to_string(count));
      int error = 0;
      const std::string got = cached.read(at, count, error);
      if (at < 0) {
        EXPECT_EQ(got, "<failed>");
        EXPECT_EQ(error, EINVAL);
        continue;
      }
      const std::string expected =
          at >= static_cast<std::int64_t>(size)
              ? ""
              : data.substr(static_cast<std::size_t>(at), count);
      ASSERT_EQ(got.size(), expected.size());
      ASSERT_TRUE(got == expected);
      next = at + static_cast<std::int64_t>(got.size());
      ASSERT_LE(cached.cache->heldBytes(), kob::kCacheBound);
    }
    for (const auto& [offset, count] : cached.below->reads) {
      EXPECT_GE(offset, 0);
      EXPECT_LE(offset + static_cast<std::int64_t>(count),
                static_cast<std::int64_t>(size));
    }
  }
}

TEST(RangeCache, ReadsInOrderFetchGrowingRanges) {
  const std::size_t size = 40u << 20;
  std::string data(size, 'x');
  for (std::size_t i = 0; i < size; i += 4096) data[i] = static_cast<char>(i >> 12);
  Cached cached(data, 0, std::vector<unsigned char>(data.begin(), data.begin() + 16384));
  int error = 0;
  for (std::size_t at = 0; at < size; at += 65536) {
    ASSERT_EQ(cached.read(static_cast<std::int64_t>(at), 65536, error),
              data.substr(at, 65536));
  }
  // The rest of the first read, the second, then 1, 2, 4, and 8 MiB a
  // request: 40 MiB in 10, not 640.
  const auto& reads = cached.below->reads;
  EXPECT_LE(reads.size(), 10u);
  ASSERT_GE(reads.size(), 3u);
  EXPECT_EQ(reads[0].second, 65536u - 16384u);
  EXPECT_EQ(reads[1].second, 65536u);
  EXPECT_EQ(reads[2].second, kob::kFirstRun);
  for (std::size_t i = 1; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].first, reads[i - 1].first +
                                  static_cast<std::int64_t>(reads[i - 1].second));
    EXPECT_LE(reads[i].second, kob::kLargestRun);
  }
  EXPECT_LE(cached.cache->heldBytes(), kob::kCacheBound);
}

TEST(RangeCache, ScatteredReadsFetchWhatTheyAskOrTheLeastFetch) {
  std::string data(10u << 20, 'y');
  for (const std::size_t least : {std::size_t{0}, std::size_t{65536}}) {
    Cached cached(data, least);
    int error = 0;
    std::mt19937 rng(9);
    for (int i = 0; i < 50; ++i) {
      // Never where the fetch before ended: none goes on in order.
      const std::int64_t at =
          std::uniform_int_distribution<std::int64_t>(0, 50)(rng) * 200000 + 7;
      ASSERT_EQ(cached.read(at, 300, error).size(), 300u);
    }
    for (const auto& [offset, count] : cached.below->reads) {
      EXPECT_EQ(count, least == 0 ? 300u : 65536u) << offset;
    }
    // Neighbours of a read cost no request.
    const std::size_t before = cached.below->reads.size();
    const std::int64_t last = cached.below->reads.back().first;
    cached.read(last + 100, 200, error);
    EXPECT_EQ(cached.below->reads.size(), before);
  }
}

TEST(RangeCache, AReadAcrossTheHeadsEndStartsNoRun) {
  std::string data(4u << 20, 'h');
  Cached cached(data, 0, std::vector<unsigned char>(data.begin(), data.begin() + 16384));
  int error = 0;
  ASSERT_EQ(cached.read(16000, 5000, error).size(), 5000u);
  ASSERT_EQ(cached.below->reads.size(), 1u);
  EXPECT_EQ(cached.below->reads[0], std::make_pair(std::int64_t{16384}, std::size_t{4616}));
}

TEST(RangeCache, ALookupThatCrossesIntoTheNextChunkStartsNoRun) {
  std::string data(4u << 20, 'n');
  Cached cached(data, 0);
  int error = 0;
  ASSERT_EQ(cached.read(100000, 3000, error).size(), 3000u);  // a chunk
  ASSERT_EQ(cached.read(103000, 2000, error).size(), 2000u);  // the next
  ASSERT_EQ(cached.below->reads.size(), 2u);
  EXPECT_EQ(cached.below->reads[1].second, 2000u);
}

TEST(RangeCache, AFailedReadFailsWholeAndKeepsNothing) {
  std::string data(1u << 20, 'z');
  Cached cached(data, 0, std::vector<unsigned char>(data.begin(), data.begin() + 1000));
  cached.below->failing = true;
  int error = 0;
  // Its first 1000 bytes are held, the rest not: the read fails whole.
  EXPECT_EQ(cached.read(0, 5000, error), "<failed>");
  EXPECT_EQ(error, EIO);
  error = 0;
  EXPECT_EQ(cached.read(500, 400, error), data.substr(500, 400));
  cached.below->failing = false;
  EXPECT_EQ(cached.read(0, 5000, error), data.substr(0, 5000));
}

// Threads that read at once, each often where another's fetch is being
// kept: every change of the cache must be made under its lock, which
// ThreadSanitizer sees, since nothing else orders the threads' steps.
TEST(ThreadsRangeCache, ManyReadAtOnceAndEveryChangeIsMadeUnderTheLock) {
  std::string data(8u << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  Cached cached(data, 4096, {}, false);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 own(t);
      for (int i = 0; i < kobtest::testRounds(200); ++i) {
        // Mostly small reads near the others' (a miss is kept as another
        // thread is served), now and then a large one (served long under
        // the lock, or fetched and kept whole).
        const auto at = std::uniform_int_distribution<std::size_t>(0, data.size())(own);
        const auto count = std::uniform_int_distribution<std::size_t>(
            0, i % 16 == 0 ? 1u << 20 : 20000)(own);
        int error = 0;
        if (cached.read(static_cast<std::int64_t>(at), count, error) != data.substr(at, count)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cached.cache->heldBytes(), kob::kCacheBound);
}

}  // namespace
