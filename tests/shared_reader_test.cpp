// SPDX-License-Identifier: GPL-2.0-or-later
// kob::SharedReader: positional reads from many threads over one index
// answer exactly as one KobFile does, on good files and damaged ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "index_bytes.h"
#include "kob.h"
#include "kob_packer.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// What a fresh KobFile answers to a seek and a read of `len` bytes.
struct Expected {
  std::string bytes;
  bool error;
};

Expected seekAndRead(const std::string& path, std::uint64_t position,
                     std::size_t len, bool partial) {
  KobFile file;
  file.setPartialDecoding(partial);
  file.open(path.c_str(), READ);
  std::string bytes(len, '\0');
  int n = 0;
  if (file.seek64(static_cast<std::int64_t>(position), 0) ==
      static_cast<std::int64_t>(position)) {
    n = file.read(reinterpret_cast<unsigned char*>(bytes.data()),
                  static_cast<unsigned>(len));
  }
  bytes.resize(static_cast<std::size_t>(std::max(n, 0)));
  return {bytes, file.hasError()};
}

TEST(SharedReader, ManyThreadsReadTheSameBytesAsOne) {
  std::mt19937 rng(kobtest::testSeed("ManyThreadsReadTheSameBytes"));
  kobtest::TempDir dir;
  const std::string path = dir.path("shared.kob");
  const std::string data = kobtest::makeData(400000, rng);
  kobtest::packFile(path, data, 1 + static_cast<int>(rng() % 20000), rng);
  // With partial decoding, a hint (a copy's index) that the threads prove
  // as they land.
  kobtest::writeFile(dir.path("copy.kob"), kobtest::readFile(path));
  ASSERT_TRUE(kobtest::saveIndexOf(dir.path("copy.kob"), dir.path("hint.kbi")).ok());
  for (bool partial : {false, true}) {
    kob::SharedReader reader;
    ASSERT_TRUE(reader.open(path.c_str(), partial ? kob::IndexChoice::at(dir.path("hint.kbi"))
                                                  : kob::IndexChoice::beside())
                    .ok());
    reader.setPartialDecoding(partial);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const int rounds = kobtest::testRounds(500);
    for (unsigned t = 0; t < 4; ++t) {
      threads.emplace_back([&, seed = rng()] {
        std::mt19937 own(seed);
        std::vector<unsigned char> buf(3000);
        for (int i = 0; i < rounds; ++i) {
          const std::uint64_t at = own() % (data.size() + 100);
          const std::size_t len = own() % buf.size();
          const kob::ReadResult got = reader.readAt(at, buf.data(), len);
          const std::string expected =
              at < data.size() ? data.substr(at, len) : "";
          if (!got.ok() ||
              std::string(buf.begin(), buf.begin() + got.bytes) != expected) {
            ++wrong;
          }
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0) << (partial ? "partial decoding" : "whole chunks");
    EXPECT_EQ(reader.size(), static_cast<std::int64_t>(data.size()));
  }
}

TEST(SharedReader, AnswersAsAKobFileOnDamagedFiles) {
  kobtest::TempDir dir;
  const std::string path = dir.path("damaged.kob");
  std::mt19937 rng(kobtest::testSeed("SharedAnswersOnDamaged"));
  const std::string data = kobtest::makeData(700, rng);
  const std::string packed = kobtest::packFile(path, data, 100, rng);
  const std::vector<kobtest::ChunkHeader> headers =
      kobtest::parseHeaders(packed);
  // The same file sealed too: its seal could lead a read past damage
  // before it, but every read answers as a KobFile's does.
  std::FILE* out = std::fopen(dir.path("sealed.kob").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(kob::sealPacked(kob::openFile(path), out).failure.ok());
  ASSERT_EQ(std::fclose(out), 0);
  const std::string sealed = kobtest::readFile(dir.path("sealed.kob"));
  std::vector<std::string> variants;
  for (const std::string& whole : {packed, sealed}) {
    for (std::size_t cut = 6; cut < whole.size(); cut += 3) {
      variants.push_back(whole.substr(0, cut));
    }
    for (const kobtest::ChunkHeader& h : headers) {
      for (std::size_t byte = 0; byte < 6; ++byte) {
        std::string changed = whole;
        changed[h.offset + byte] ^= static_cast<char>(byte % 2 ? 0x01 : 0x80);
        variants.push_back(changed);
      }
      if (h.payloadSize > 0) {
        std::string spoiled = whole;
        kobtest::spoilPayload(spoiled, h);
        variants.push_back(spoiled);
      }
    }
  }
  for (const std::string& variant : variants) {
    kobtest::writeFile(path, variant);
    const bool partial = rng() % 2;
    kob::SharedReader reader;
    ASSERT_TRUE(reader.open(path.c_str()).ok());
    reader.setPartialDecoding(partial);
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t at = rng() % 800;
      const std::size_t len = 1 + rng() % 300;
      std::string buf(len, '\0');
      const kob::ReadResult got = reader.readAt(at, buf.data(), len);
      const Expected expected = seekAndRead(path, at, len, partial);
      ASSERT_EQ(buf.substr(0, got.bytes), expected.bytes)
          << "variant of " << variant.size() << " bytes, at " << at;
      ASSERT_EQ(got.ok(), !expected.error);
    }
  }
}

// A file cut inside a payload is damage, as a KobFile says: no read of the
// file failed.
TEST(SharedReader, NamesAPayloadCutShortAsDamageNotAFailedRead) {
  kobtest::TempDir dir;
  const std::string path = dir.path("cut.kob");
  std::mt19937 rng(14);
  const std::string data = kobtest::makeData(20000, rng);
  const std::string packed = kobtest::packFile(path, data, 4096, rng);
  const kobtest::ChunkHeader third = kobtest::parseHeaders(packed)[2];
  kobtest::writeFile(
      path, packed.substr(0, third.offset + 6 + third.payloadSize / 2));
  const Expected expected = seekAndRead(path, 0, 20000, false);
  ASSERT_EQ(expected.bytes, data.substr(0, 8192));
  ASSERT_TRUE(expected.error);

  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(path.c_str()).ok());
  std::string buf(20000, '\0');
  for (std::uint64_t at : {0, 9000}) {
    SCOPED_TRACE(testing::Message() << "at " << at);
    const kob::ReadResult got = reader.readAt(at, buf.data(), buf.size());
    EXPECT_EQ(got.bytes, at == 0 ? 8192u : 0u);
    EXPECT_EQ(got.failure.damage, kob::Damage::CutShort);
    EXPECT_EQ(got.failure.error, 0);
  }
}

TEST(SharedReader, RefusesWhatItCannotRead) {
  kobtest::TempDir dir;
  kobtest::writeFile(dir.path("plain"), "not packed");
  kob::SharedReader reader;
  EXPECT_EQ(reader.open(dir.path("plain").c_str()).damage, kob::Damage::NotPacked);
  EXPECT_EQ(reader.open(dir.path("missing").c_str()).error, ENOENT);
  EXPECT_EQ(reader.open(dir.path("").c_str()).error, EISDIR);
  // A FIFO is refused at once, not read: no writer's data is waited for.
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  const int writer = ::open(dir.path("fifo").c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(reader.open(dir.path("fifo").c_str()).error, ESPIPE);
  ::close(writer);
  EXPECT_FALSE(reader.isOpen());
  char buf[4];
  EXPECT_EQ(reader.readAt(0, buf, 4).failure.error, EBADF);
  EXPECT_EQ(reader.size(), -1);
}

// What a reader sees while `cp new.kob live.kob` runs: the file cut short,
// then whole again in place. Damage met once is not kept: a later read
// answers from the file as it now is.
TEST(SharedReader, ReadsAFileMendedInPlaceAsItNowIs) {
  kobtest::TempDir dir;
  const std::string path = dir.path("live.kob");
  std::mt19937 rng(kobtest::testSeed("ReadsAFileMended"));
  const std::string data = kobtest::makeData(100000, rng);
  const std::string packed = kobtest::packFile(path, data, 4096, rng);
  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(path.c_str()).ok());
  std::string buf(2000, '\0');
  ASSERT_TRUE(reader.readAt(1000, buf.data(), buf.size()).ok());

  kobtest::truncateAt(path, packed.size() / 2);
  const kob::ReadResult cut = reader.readAt(90000, buf.data(), buf.size());
  EXPECT_EQ(cut.failure.damage, kob::Damage::CutShort);
  EXPECT_EQ(reader.size(), -1);

  kobtest::writeFile(path, packed);
  // From the first byte of the chunk where the cut was met, too.
  const auto cutAt = static_cast<std::uint64_t>(cut.failure.position);
  const kob::ReadResult atCut = reader.readAt(cutAt, buf.data(), buf.size());
  ASSERT_TRUE(atCut.ok()) << atCut.failure.describe();
  EXPECT_EQ(buf.substr(0, atCut.bytes), data.substr(cutAt, 2000));
  const kob::ReadResult whole = reader.readAt(90000, buf.data(), buf.size());
  ASSERT_TRUE(whole.ok()) << whole.failure.describe();
  EXPECT_EQ(buf.substr(0, whole.bytes), data.substr(90000, 2000));
  EXPECT_EQ(reader.size(), static_cast<std::int64_t>(data.size()));

  // A payload spoiled, then mended: the later read does not answer from
  // the bytes the earlier one met.
  std::string spoiled = packed;
  kobtest::spoilPayload(spoiled, kobtest::parseHeaders(packed)[3]);
  kobtest::writeFile(path, spoiled);
  EXPECT_EQ(reader.readAt(3 * 4096 + 10, buf.data(), 100).failure.damage,
            kob::Damage::PayloadRejected);
  kobtest::writeFile(path, packed);
  const kob::ReadResult mended = reader.readAt(3 * 4096 + 10, buf.data(), 100);
  ASSERT_TRUE(mended.ok()) << mended.failure.describe();
  EXPECT_EQ(buf.substr(0, mended.bytes), data.substr(3 * 4096 + 10, 100));
}

// Packed bytes made chunk by chunk, each chunk's data (up to 238 bytes)
// stored as one run of literals, the back-links chained.
class ChunkByChunk {
 public:
  ChunkByChunk& chunk(const std::string& data) {
    const std::string end("\x11\x00\x00", 3);  // LZO1X's end of stream
    const std::string payload =
        data.empty() ? end : static_cast<char>(17 + data.size()) + data + end;
    header(data.size(), payload.size());
    bytes += payload;
    return *this;
  }
  std::string end() {
    header(0, 0);
    return bytes;
  }

 private:
  void header(std::size_t dataSize, std::size_t payloadSize) {
    const char h[6] = {static_cast<char>(dataSize >> 8),
                       static_cast<char>(dataSize),
                       static_cast<char>(payloadSize >> 8),
                       static_cast<char>(payloadSize),
                       static_cast<char>(previous >> 8),
                       static_cast<char>(previous)};
    bytes.append(h, sizeof h);
    previous = payloadSize;
  }
  std::string bytes{"KOB\x01\x00\x00", 6};
  std::size_t previous = 0;
};

// A file written anew in place while it is open, every header sound: where
// a header no longer says what the index learned of its place, the reader
// learns the file afresh, so its reads and the size answer from the file as
// it now is.
TEST(SharedReader, ReadsAFileRewrittenInPlaceAsItNowIs) {
  kobtest::TempDir dir;
  std::mt19937 rng(2);
  std::string runsOf100, runsOf90;
  for (int k = 0; k < 10; ++k) {
    runsOf100 += std::string(100, static_cast<char>('a' + k));
    runsOf90 += std::string(90, static_cast<char>('A' + k));
  }
  const std::string packed100 =
      kobtest::packFile(dir.path("100.kob"), runsOf100, 100, rng);
  const std::string packed90 =
      kobtest::packFile(dir.path("90.kob"), runsOf90, 90, rng);
  auto layout = [](const std::string& packed) {
    std::vector<std::pair<std::size_t, std::uint32_t>> places;
    for (const kobtest::ChunkHeader& h : kobtest::parseHeaders(packed)) {
      places.emplace_back(h.offset, h.payloadSize);
    }
    return places;
  };
  ASSERT_EQ(layout(packed100), layout(packed90)) << "runs pack alike";

  struct Case {
    const char* what;
    std::string before;
    std::string after;
    std::string data;  // of `after`
    std::uint64_t firstRead;
  };
  const Case cases[] = {
      {"a chunk with data where the index knows chunks without data",
       ChunkByChunk().chunk("0123456789").chunk("").chunk("").chunk("")
           .chunk("ABCDEFGHIJ").end(),
       ChunkByChunk().chunk("0123456789").chunk("zyxwvuts").chunk("")
           .chunk("ABCDEFGHIJ").end(),
       "0123456789zyxwvutsABCDEFGHIJ", 0},
      {"a chunk where the end marker was",
       ChunkByChunk().chunk("0123456789").chunk("ABCDEFGHIJ").end(),
       ChunkByChunk().chunk("0123456789").chunk("ABCDEFGHIJ")
           .chunk("KLMNOPQRST").end(),
       "0123456789ABCDEFGHIJKLMNOPQRST", 0},
      {"every chunk where it was, holding 90 bytes instead of 100", packed100,
       packed90, runsOf90, 560},
  };
  const std::string path = dir.path("rewritten.kob");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kobtest::writeFile(path, c.before);
    kob::SharedReader reader;
    ASSERT_TRUE(reader.open(path.c_str()).ok());
    ASSERT_GT(reader.size(), 0);  // every chunk learned
    kobtest::writeFile(path, c.after);
    std::string buf(c.data.size() + 1, '\0');
    const kob::ReadResult first =
        reader.readAt(c.firstRead, buf.data(), buf.size());
    ASSERT_TRUE(first.ok()) << first.failure.describe();
    EXPECT_EQ(buf.substr(0, first.bytes), c.data.substr(c.firstRead));
    EXPECT_EQ(reader.size(), static_cast<std::int64_t>(c.data.size()));
    for (std::uint64_t at = 0; at <= c.data.size(); ++at) {
      const kob::ReadResult got = reader.readAt(at, buf.data(), 7);
      ASSERT_TRUE(got.ok()) << "at " << at << ": " << got.failure.describe();
      ASSERT_EQ(buf.substr(0, got.bytes), c.data.substr(at, 7)) << "at " << at;
    }
  }
}

// close and open may come while other threads read: a read under way
// finishes on the file it started on, one that starts after a close
// answers EBADF, and nothing crashes (ASan and TSan watch this in CI).
TEST(SharedReader, ClosesAndOpensWhileOtherThreadsRead) {
  kobtest::TempDir dir;
  const std::string path = dir.path("shared.kob");
  std::mt19937 rng(kobtest::testSeed("ClosesWhileOthersRead"));
  const std::string data = kobtest::makeData(200000, rng);
  kobtest::packFile(path, data, 2048, rng);
  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(path.c_str()).ok());
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 3; ++t) {
    threads.emplace_back([&, seed = rng()] {
      std::mt19937 own(seed);
      std::string buf(5000, '\0');
      while (!stop) {
        const std::uint64_t at = own() % data.size();
        const kob::ReadResult got = reader.readAt(at, buf.data(), buf.size());
        const bool closed = got.failure.error == EBADF && got.bytes == 0;
        if (!closed && (!got.ok() || buf.substr(0, got.bytes) !=
                                         data.substr(at, buf.size()))) {
          ++wrong;
        }
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    if (i % 2) {
      reader.close();
    } else {
      ASSERT_TRUE(reader.open(path.c_str()).ok());
    }
    std::this_thread::yield();
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
