// SPDX-License-Identifier: GPL-2.0-or-later
// Packed writers in different threads at once: each file must come out
// exactly as if it had been written alone.

#include <gtest/gtest.h>

#include <thread>

#include "kob.h"
#include "kob_pack.h"
#include "test_util.h"

namespace {

TEST(Threads, PackedWritersInTwoThreadsWriteCorrectFiles) {
  kobtest::TempDir dir;
  const int rounds = kobtest::testRounds(4);
  for (int round = 0; round < rounds; ++round) {
    std::string data[2];
    std::string written[2];
    std::thread writers[2];
    for (int t = 0; t < 2; ++t) {
      std::mt19937 rng(static_cast<unsigned>(round * 2 + t));
      data[t] = kobtest::makeData(300000 + 1000 * t, rng);
      writers[t] = std::thread([&, t] {
        std::mt19937 split(static_cast<unsigned>(t));
        written[t] = kobtest::packFile(dir.path("t" + std::to_string(t)),
                                       data[t], 4096 + t, split);
      });
    }
    for (std::thread& w : writers) w.join();
    for (int t = 0; t < 2; ++t) {
      EXPECT_EQ(kobtest::decodeIndependently(written[t]), data[t]);
    }
  }
}

TEST(Threads, ReadersInManyThreadsEachServeTheirOwnFile) {
  kobtest::TempDir dir;
  std::mt19937 rng(5);
  const std::string data = kobtest::makeData(200000, rng);
  kobtest::packFile(dir.path("r.kob"), data, 3000, rng);
  std::vector<std::thread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 own(static_cast<unsigned>(t));
      KobFile file(dir.path("r.kob").c_str(), READ);
      for (int i = 0; i < 300; ++i) {
        const std::int64_t at = own() % data.size();
        unsigned char buf[100];
        file.seek64(at, 0);
        const int n = file.read(buf, sizeof buf);
        if (std::string(buf, buf + n) != data.substr(at, n)) ++wrong;
      }
    });
  }
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace

namespace {

// The packer compresses on many threads and writes exactly what one thread
// writes, chunk for chunk in order, on any input length.
TEST(Threads, ThePackerWritesOnManyThreadsWhatOneWrites) {
  kobtest::TempDir dir;
  std::mt19937 rng(9);
  for (std::size_t size : {0u, 1u, 6400u, 6401u, 700000u}) {
    kobtest::writeFile(dir.path("in"), kobtest::makeData(size, rng));
    std::string packed[3];
    const unsigned threads[3] = {1, 2, 5};
    for (int i = 0; i < 3; ++i) {
      std::FILE* in = std::fopen(dir.path("in").c_str(), "rb");
      std::FILE* out = std::fopen(dir.path("out").c_str(), "wb");
      EXPECT_TRUE(kob::packStream(in, out, {64, threads[i]}).ok());
      std::fclose(out);
      std::fclose(in);
      packed[i] = kobtest::readFile(dir.path("out"));
    }
    EXPECT_EQ(packed[1], packed[0]) << size;
    EXPECT_EQ(packed[2], packed[0]) << size;
    EXPECT_EQ(kobtest::decodeIndependently(packed[0]),
              kobtest::readFile(dir.path("in")));
  }
}

}  // namespace
