// SPDX-License-Identifier: GPL-2.0-or-later
// Decompression on several threads gives what one thread gives: the same
// bytes in the same order and the same failure at the same place, for the
// whole-file walk (kob -d, -dc, -t) and for a SharedReader's large reads,
// over random files with random damage.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kob.h"
#include "kob_open.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// A packed file of random size and chunk size, damaged in one of a few
// ways (or not at all), written to `path`.
std::string damagedFile(const std::string& path, std::mt19937& rng,
                        std::string& data) {
  const int chunkSize = 256 + static_cast<int>(rng() % 9000);
  data = kobtest::makeData(rng() % 600000, rng);
  std::string packed = kobtest::packFile(path, data, chunkSize, rng);
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  if (rng() % 3 == 0) {
    packed = kobtest::withEmptyChunks(
        packed, {rng() % headers.size(), rng() % headers.size()},
        kobtest::kEmptyPayload);
    headers = kobtest::parseHeaders(packed);
  }
  // Sealed, its chunks known from the seal: read on threads from the start.
  if (rng() % 2) {
    packed = kobtest::sealedCopy(packed, path);
    headers = kobtest::parseHeaders(packed);
  }
  const kobtest::ChunkHeader& victim = headers[rng() % headers.size()];
  switch (rng() % 5) {
    case 0:  // intact
      break;
    case 1:
      if (victim.payloadSize > 0) kobtest::spoilPayload(packed, victim);
      break;
    case 2:  // cut short, after the signature's first bytes: still packed
      packed.resize(4 + rng() % (packed.size() - 4));
      break;
    case 3:  // a back-link broken
      packed[victim.offset + 5] = static_cast<char>(packed[victim.offset + 5] ^ 1);
      break;
    case 4:  // a byte of a payload changed
      if (victim.payloadSize > 0) {
        packed[victim.offset + 6 + rng() % victim.payloadSize] ^= 0x20;
      }
      break;
  }
  kobtest::writeFile(path, packed);
  return packed;
}

struct Walked {
  std::string bytes;
  kob::ScanReport report;
};

Walked walk(const std::string& path, unsigned threads) {
  Walked walked;
  kob::ScanOptions options;
  options.decompress = true;
  options.threads = threads;
  options.onData = [&](const unsigned char* data, std::size_t size) {
    walked.bytes.append(reinterpret_cast<const char*>(data), size);
    return kob::Failure();
  };
  walked.report = kob::scanPacked(kob::openFile(path), options);
  return walked;
}

void expectSameFailure(const kob::Failure& a, const kob::Failure& b) {
  EXPECT_EQ(a.damage, b.damage);
  EXPECT_EQ(a.error, b.error);
  EXPECT_EQ(a.chunk, b.chunk);
  EXPECT_EQ(a.fileOffset, b.fileOffset);
  EXPECT_EQ(a.position, b.position);
}

TEST(ThreadsDecode, TheWalkAnswersAsOneThreadAndAsKobFile) {
  std::mt19937 rng(kobtest::testSeed("ThreadsDecode.TheWalk"));
  kobtest::TempDir dir;
  const std::string path = dir.path("f.kob");
  for (int round = 0; round < kobtest::testRounds(40); ++round) {
    std::string data;
    damagedFile(path, rng, data);
    SCOPED_TRACE("round " + std::to_string(round));
    const Walked one = walk(path, 1);
    // What KobFile reads of it, to the first damage.
    KobFile file(path.c_str(), READ);
    std::string read;
    unsigned char block[70000];
    for (int got; (got = file.read(block, sizeof block)) > 0;) {
      read.append(reinterpret_cast<char*>(block), static_cast<std::size_t>(got));
    }
    EXPECT_EQ(one.bytes, read);
    EXPECT_EQ(one.report.failure.ok(), !file.hasError());
    if (file.hasError()) expectSameFailure(one.report.failure, file.failure());
    for (unsigned threads : {2u, 3u, 0u}) {
      const Walked many = walk(path, threads);
      EXPECT_EQ(many.bytes, one.bytes) << threads << " threads";
      expectSameFailure(many.report.failure, one.report.failure);
      EXPECT_EQ(many.report.chunks, one.report.chunks);
      EXPECT_EQ(many.report.dataSize, one.report.dataSize);
    }
  }
}

TEST(ThreadsDecode, AFailedWriteEndsTheWalkAtOnceWithItsErrno) {
  std::mt19937 rng(7);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(300000, rng);
  kobtest::packFile(dir.path("f.kob"), data, 4096, rng);
  for (unsigned threads : {1u, 2u}) {
    std::size_t calls = 0;
    kob::ScanOptions options;
    options.decompress = true;
    options.threads = threads;
    options.onData = [&](const unsigned char*, std::size_t) {
      return ++calls == 3 ? kob::Failure::ofError(ENOSPC, kob::Failure::Action::Writing)
                          : kob::Failure();
    };
    const kob::ScanReport report =
        kob::scanPacked(kob::openFile(dir.path("f.kob")), options);
    EXPECT_EQ(report.failure.error, ENOSPC);
    EXPECT_EQ(report.failure.action, kob::Failure::Action::Writing);
    EXPECT_EQ(calls, 3u);
  }
}

TEST(ThreadsDecode, ASharedReadersLargeReadsAnswerAsOneThread) {
  std::mt19937 rng(kobtest::testSeed("ThreadsDecode.SharedReader"));
  kobtest::TempDir dir;
  const std::string path = dir.path("f.kob");
  for (int round = 0; round < kobtest::testRounds(20); ++round) {
    std::string data;
    damagedFile(path, rng, data);
    kob::SharedReader one;
    kob::SharedReader many;
    many.setThreads(0);
    const bool partial = rng() % 2;
    one.setPartialDecoding(partial);
    many.setPartialDecoding(partial);
    ASSERT_TRUE(one.open(path.c_str()).ok());
    ASSERT_TRUE(many.open(path.c_str()).ok());
    for (int read = 0; read < 6; ++read) {
      const std::uint64_t at = rng() % (data.size() + 2);
      const std::size_t length = kob::SharedReader::kParallelRead + rng() % 200000;
      std::string a(length, 'a');
      std::string b(length, 'b');
      const kob::ReadResult first = one.readAt(at, a.data(), length);
      const kob::ReadResult second = many.readAt(at, b.data(), length);
      SCOPED_TRACE("round " + std::to_string(round) + " at " + std::to_string(at));
      ASSERT_EQ(second.bytes, first.bytes);
      EXPECT_EQ(b.substr(0, second.bytes), a.substr(0, first.bytes));
      expectSameFailure(second.failure, first.failure);
    }
  }
}

}  // namespace

namespace {

TEST(ThreadsDecode, TheToolUnpacksAndTestsOnThreadsAsOnOne) {
  std::mt19937 rng(11);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(900000, rng);
  std::string packed = kobtest::packFile(dir.path("f.kob"), data, 8192, rng);
  const std::string kob = std::string("'") + KOB_PATH + "'";
  const auto run = [&](const std::string& arguments) {
    return std::system((kob + " " + arguments + " 2>" + dir.path("errors")).c_str());
  };
  for (const char* threads : {"1", "2", "0"}) {
    ASSERT_EQ(run(std::string("-dc -T ") + threads + " " + dir.path("f.kob") +
                  " >" + dir.path("out")),
              0);
    EXPECT_EQ(kobtest::readFile(dir.path("out")), data) << threads;
    EXPECT_EQ(run(std::string("-t -T ") + threads + " " + dir.path("f.kob")), 0);
  }
  // Damaged: the bytes before the damage, the same message, at any count.
  const std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  kobtest::spoilPayload(packed, headers[40]);
  kobtest::writeFile(dir.path("f.kob"), packed);
  std::string first;
  for (const char* threads : {"1", "2"}) {
    EXPECT_NE(run(std::string("-dc -T ") + threads + " " + dir.path("f.kob") +
                  " >" + dir.path("out")),
              0);
    EXPECT_EQ(kobtest::readFile(dir.path("out")), data.substr(0, 40 * 8192));
    if (first.empty()) first = kobtest::readFile(dir.path("errors"));
    EXPECT_EQ(kobtest::readFile(dir.path("errors")), first);
  }
  EXPECT_NE(first.find("chunk 40"), std::string::npos) << first;
}

}  // namespace
