// SPDX-License-Identifier: GPL-2.0-or-later
//
// The reading core on its own, over sources the tests control: reads come
// in large pieces however many headers a file has, and a file that changes
// under a reader is learned afresh, once.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "read/chunk_reader.h"
#include "source/source.h"
#include "test_util.h"

namespace {

// Bytes in memory that may change, counting the reads made of them.
class CountingSource final : public kob::Source {
 public:
  explicit CountingSource(std::string* aBytes) : bytes(aBytes) {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    ++reads;
    return kob::MemorySource(*bytes).readAt(offset, into, count, error);
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override { return {}; }

  std::string* bytes;
  std::atomic<int> reads{0};
};

struct Core {
  explicit Core(std::string* bytes, bool shared = true) {
    auto owned = std::make_unique<CountingSource>(bytes);
    source = owned.get();
    reader = std::make_unique<kob::ChunkReader>(std::move(owned),
                                                std::vector<unsigned char>(),
                                                shared);
    cursor = std::make_unique<kob::ChunkCursor>(*reader);
  }
  CountingSource* source;
  std::unique_ptr<kob::ChunkReader> reader;
  std::unique_ptr<kob::ChunkCursor> cursor;
};

// A file of `empty` chunks without data, then one of "ab".
std::string manyEmptyChunks(std::size_t empty) {
  const std::string ab("\x13\x61\x62\x11\x00\x00", 6);
  kobtest::TempDir dir;
  std::mt19937 rng(1);
  const std::string packed = kobtest::packFile(dir.path("ab.kob"), "ab", 2, rng);
  return kobtest::withEmptyChunks(packed, std::vector<std::size_t>(empty, 0),
                                  kobtest::kEmptyPayload);
}

TEST(ChunkReader, ReadsThroughChunksWithoutDataInLargePieces) {
  std::string file = manyEmptyChunks(100000);  // 900 KB of headers
  for (bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "shared" : "one cursor");
    Core core(&file, shared);
    ASSERT_TRUE(core.cursor->start().ok());
    ASSERT_TRUE(core.cursor->advance().ok());
    EXPECT_EQ(core.cursor->chunk().number, 100000u);
    EXPECT_EQ(core.cursor->chunk().dataSize, 2u);
    ASSERT_TRUE(core.cursor->decode(2, false).ok());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(core.cursor->data()), 2),
              "ab");
    // Every header and payload is read, but many at a time.
    EXPECT_LT(core.source->reads, 40);
    // Landing again knows where the chunk is: one read at most.
    core.cursor->discardHeldBytes();
    const int before = core.source->reads;
    ASSERT_TRUE(core.cursor->land(1).ok());
    EXPECT_EQ(core.source->reads, before + 1);
  }
}

TEST(ChunkReader, AFileChangedUnderTheReaderIsLearnedAfresh) {
  std::mt19937 rng(kobtest::testSeed("ChangedUnderTheReader"));
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(20000, rng);
  std::string file = kobtest::packFile(dir.path("a.kob"), data, 1000, rng);
  Core core(&file);
  ASSERT_TRUE(core.cursor->land(19999).ok());  // every chunk learned
  // Packed again with another chunk size: the chunk at 15000 is elsewhere.
  const std::string other = kobtest::makeData(20000, rng);
  file = kobtest::packFile(dir.path("b.kob"), other, 700, rng);
  core.cursor->discardHeldBytes();
  ASSERT_TRUE(core.cursor->land(19999).ok());
  ASSERT_TRUE(core.cursor->land(15000).ok());
  EXPECT_EQ(core.cursor->chunk().position, 15000u / 700 * 700);
  ASSERT_TRUE(core.cursor->decode(core.cursor->chunk().dataSize, false).ok());
  const std::uint64_t into = 15000 - core.cursor->chunk().position;
  EXPECT_EQ(core.cursor->data()[into],
            static_cast<unsigned char>(other[15000]));
  // Reading on meets headers that the index learned from the old file too.
  file = kobtest::packFile(dir.path("a.kob"), data, 1000, rng);
  core.cursor->discardHeldBytes();
  ASSERT_TRUE(core.cursor->advance().ok());
  EXPECT_EQ(core.cursor->chunk().position % 1000, 0u);
  ASSERT_TRUE(core.cursor->decode(1, false).ok());
  EXPECT_EQ(core.cursor->data()[0],
            static_cast<unsigned char>(data[core.cursor->chunk().position]));
}

// A source whose every read fails names the failed read, and where.
class FailingSource final : public kob::Source {
 public:
  std::int64_t readAt(std::int64_t, unsigned char*, std::size_t,
                      int& error) override {
    error = EIO;
    return -1;
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override { return {}; }
};

TEST(ChunkReader, AFailedReadIsNotDamage) {
  kob::ChunkReader reader(std::make_unique<FailingSource>(), {}, true);
  kob::ChunkCursor cursor(reader);
  const kob::Failure failure = cursor.start();
  EXPECT_EQ(failure.error, EIO);
  EXPECT_FALSE(failure.isDamage());
  EXPECT_EQ(failure.chunk, 0);
  EXPECT_EQ(failure.fileOffset, 6);
  EXPECT_EQ(cursor.land(100).error, EIO);
}

// A source that gives one file, or, once told to, another and the first by
// turns: a file rewritten over and over while it is read.
class AlternatingSource final : public kob::Source {
 public:
  AlternatingSource(std::string first, std::string second)
      : versions{std::move(first), std::move(second)} {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    const std::string& now = alternating ? versions[++reads % 2] : versions[0];
    return kob::MemorySource(now).readAt(offset, into, count, error);
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override { return {}; }

  bool alternating = false;

 private:
  std::string versions[2];
  unsigned reads = 0;
};

// The index is learned afresh once a call: a file that has changed again by
// then fails the call with EIO, naming where the cursor stands, and leaves
// it there.
TEST(ChunkReader, AFileThatKeepsChangingFailsWithEIO) {
  std::mt19937 rng(kobtest::testSeed("KeepsChanging"));
  kobtest::TempDir dir;
  const std::string a = kobtest::packFile(
      dir.path("a.kob"), kobtest::makeData(20000, rng), 1000, rng);
  const std::string b = kobtest::packFile(
      dir.path("b.kob"), kobtest::makeData(20000, rng), 700, rng);
  auto owned = std::make_unique<AlternatingSource>(a, b);
  AlternatingSource* source = owned.get();
  kob::ChunkReader reader(std::move(owned), {}, true);
  kob::ChunkCursor cursor(reader);
  ASSERT_TRUE(cursor.land(UINT64_MAX).ok());
  ASSERT_EQ(cursor.state(), kob::ChunkCursor::State::AtEnd);
  const std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(a);
  EXPECT_EQ(cursor.chunk().number, headers.size() - 1);
  EXPECT_EQ(cursor.chunk().headerOffset,
            static_cast<std::int64_t>(headers.back().offset));
  EXPECT_EQ(cursor.chunk().position, 20000u);

  source->alternating = true;
  const kob::Failure failure = cursor.land(15000);
  EXPECT_EQ(failure.error, EIO);
  EXPECT_EQ(failure.chunk, static_cast<std::int64_t>(headers.size() - 1));
  EXPECT_EQ(failure.fileOffset, static_cast<std::int64_t>(headers.back().offset));
  EXPECT_EQ(failure.position, 20000);
  EXPECT_EQ(cursor.state(), kob::ChunkCursor::State::AtEnd);
}

}  // namespace
