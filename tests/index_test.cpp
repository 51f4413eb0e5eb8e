// SPDX-License-Identifier: GPL-2.0-or-later
// The reader's chunk index: it changes nothing a caller can observe, only
// how much a seek reads.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "kob.h"
#include "kob_file_peer.h"
#include "read/packed_reader.h"
#include "test_util.h"

namespace {

TEST(ChunkIndex, ForwardSeekBeyondTheKnownChunksLearnsAsItGoes) {
  std::mt19937 rng(4);
  kobtest::TempDir dir;
  const std::string path = dir.path("learn.kob");
  std::string data = kobtest::makeData(1000, rng);
  kobtest::packFile(path, data, 100, rng);
  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(KobFileTestPeer::knownChunks(reader), 1u);
  EXPECT_EQ(reader.seek(450, 0), 450);
  EXPECT_EQ(KobFileTestPeer::knownChunks(reader), 5u);
  EXPECT_EQ(reader.seek(0, 0), 0);
  EXPECT_EQ(reader.seek(2000, 0), 1000);
  EXPECT_EQ(KobFileTestPeer::knownChunks(reader), 10u);
}

TEST(ChunkIndex, BackwardSeekIsALookupThatReadsNoHeaderBetween) {
  std::mt19937 rng(3);
  kobtest::TempDir dir;
  const std::string path = dir.path("jump.kob");
  std::string data = kobtest::makeData(1000, rng);
  std::string packed = kobtest::packFile(path, data, 100, rng);
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);

  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(reader.seek(950, 0), 950);
  // A header between, changed behind the reader, is not read again.
  kobtest::flipByte(path, headers[5].offset + 2, 0x01);
  EXPECT_EQ(reader.seek(150, 0), 150);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[150]));
  EXPECT_FALSE(reader.hasError());
}

TEST(ChunkIndex, AHeaderChangedAfterItWasLearnedIsNeverTrusted) {
  std::mt19937 rng(6);
  kobtest::TempDir dir;
  const std::string path = dir.path("changed.kob");
  // Large enough that the chunk changed is no longer in the read window.
  std::string data = kobtest::makeData(600000, rng);
  std::string packed = kobtest::packFile(path, data, 1000, rng);
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  for (std::size_t byte = 0; byte < 6; ++byte) {
    SCOPED_TRACE(testing::Message() << "byte " << byte);
    kobtest::writeFile(path, packed);
    KobFile reader(path.c_str(), READ);
    EXPECT_EQ(reader.seek(599950, 0), 599950);  // learns every chunk
    kobtest::flipByte(path, headers[3].offset + byte, 0x01);
    // The reader now answers as a fresh one does on the changed file.
    KobFile fresh(path.c_str(), READ);
    EXPECT_EQ(reader.seek(3500, 0), fresh.seek(3500, 0));
    unsigned char a[20], b[20];
    const int n = reader.read(a, sizeof a);
    ASSERT_EQ(n, fresh.read(b, sizeof b));
    EXPECT_EQ(std::string(a, a + n), std::string(b, b + n));
    EXPECT_EQ(reader.hasError(), fresh.hasError());
    EXPECT_EQ(reader.tell64(), fresh.tell64());
  }
}

TEST(ChunkIndex, AColdSeekToTheEndReadsManyHeadersAtATime) {
  std::mt19937 rng(8);
  kobtest::TempDir dir;
  const std::string path = dir.path("cold.kob");
  std::string data = kobtest::makeData(2000000, rng);
  std::string packed = kobtest::packFile(path, data, 16384, rng);
  const std::size_t chunks = kobtest::parseHeaders(packed).size();
  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(reader.seek64(1999990, 0), 1999990);
  // Ten times fewer than a move and a read for every header.
  EXPECT_LE(KobFileTestPeer::readCalls(reader) * 10, 2 * chunks);
}

TEST(ChunkIndex, ChunksWithoutDataCostNoMemory) {
  kobtest::TempDir dir;
  const std::string path = dir.path("empty-chunks.kob");
  // 200000 chunks that hold nothing (an LZO stream of no bytes), then "ab".
  const std::string emptyPayload("\x11\x00\x00", 3);
  std::string file("KOB\x01\x00\x00", 6);
  std::uint32_t previous = 0;
  auto header = [&](std::uint32_t dataSize, std::uint32_t payloadSize) {
    const unsigned char h[6] = {static_cast<unsigned char>(dataSize >> 8),
                                static_cast<unsigned char>(dataSize),
                                static_cast<unsigned char>(payloadSize >> 8),
                                static_cast<unsigned char>(payloadSize),
                                static_cast<unsigned char>(previous >> 8),
                                static_cast<unsigned char>(previous)};
    file.append(reinterpret_cast<const char*>(h), 6);
    previous = payloadSize;
  };
  for (int i = 0; i < 200000; ++i) {
    header(0, 3);
    file += emptyPayload;
  }
  const std::string ab("\x13\x61\x62\x11\x00\x00", 6);  // "ab"
  header(2, static_cast<std::uint32_t>(ab.size()));
  file += ab;
  header(0, 0);
  kobtest::writeFile(path, file);

  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(reader.seek64(1, 0), 1);
  EXPECT_EQ(reader.get(), 'b');
  EXPECT_EQ(reader.get(), -1);
  EXPECT_FALSE(reader.hasError());
  EXPECT_LT(KobFileTestPeer::heldBytes(reader), 400u * 1024);
  EXPECT_LT(KobFileTestPeer::readCalls(reader), 100u);

  KobFile through(path.c_str(), READ);  // reading checks every payload
  unsigned char buf[4];
  EXPECT_EQ(through.read(buf, 4), 2);
  EXPECT_EQ(std::string(buf, buf + 2), "ab");
  EXPECT_FALSE(through.hasError());
}

TEST(ReadAhead, ReadingOnBringsManyChunksWithEachRead) {
  std::mt19937 rng(7);
  kobtest::TempDir dir;
  const std::string path = dir.path("ahead.kob");
  const std::string data = kobtest::makeData(300000, rng);
  kobtest::packFile(path, data, 1000, rng);
  KobFile reader(path.c_str(), READ);
  std::string back;
  unsigned char buf[100];
  for (int n; (n = reader.read(buf, sizeof buf)) > 0;)
    back.append(buf, buf + n);
  EXPECT_EQ(back, data);
  // Ten times fewer than a read for every chunk.
  EXPECT_LE(KobFileTestPeer::readCalls(reader) * 10, 300u);
}

TEST(ReaderMemory, HoldsOneChunkTheWindowAndTheIndex) {
  std::mt19937 rng(5);
  kobtest::TempDir dir;
  const std::string path = dir.path("memory.kob");
  std::string data = kobtest::makeData(300000, rng);
  kobtest::packFile(path, data, 65535, rng);
  const std::size_t chunks = 300000 / 65535 + 1;
  KobFile reader(path.c_str(), READ);
  for (int i = 0; i < 200; ++i) {
    reader.seek(static_cast<int>(rng() % 300000), 0);
    reader.get();
    ASSERT_LE(KobFileTestPeer::heldBytes(reader),
              65535 + (128 * 1024 + 65535 + 12) + 2 * chunks * 24);
  }
  std::vector<unsigned char> all(data.size());
  reader.seek(0, 0);
  EXPECT_EQ(reader.read(all.data(), all.size()), int(all.size()));
  reader.close();
  EXPECT_EQ(KobFileTestPeer::heldBytes(reader), 0u);
}

}  // namespace

namespace {

// A stream is read once, in order: its reader keeps no index of the chunks
// it has passed, however many there were.
TEST(ReaderMemory, AStreamKeepsNoIndexOfTheChunksPassed) {
  // 100000 chunks of "ab".
  const std::string ab("\x13\x61\x62\x11\x00\x00", 6);
  std::string file("KOB\x01\x00\x00", 6);
  std::uint32_t previous = 0;
  for (int i = 0; i <= 100000; ++i) {
    const bool end = i == 100000;
    const char h[6] = {0,
                       char(end ? 0 : 2),
                       0,
                       char(end ? 0 : 6),
                       char(previous >> 8),
                       char(previous)};
    file.append(h, 6);
    if (!end) file += ab;
    previous = 6;
  }
  std::signal(SIGPIPE, SIG_IGN);  // in case the reader stops early
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::thread writer([&, fd = ends[1]] {
    for (std::size_t done = 0; done < file.size();) {
      const ssize_t n = ::write(fd, file.data() + done, file.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  KobFile reader;
  ASSERT_TRUE(reader.openDescriptor(ends[0], READ));
  unsigned char buf[1000];
  std::size_t total = 0;
  for (int n; (n = reader.read(buf, sizeof buf)) > 0;) {
    total += static_cast<std::size_t>(n);
  }
  writer.join();
  EXPECT_EQ(total, 200000u);
  EXPECT_FALSE(reader.hasError());
  EXPECT_LT(KobFileTestPeer::heldBytes(reader), 400u * 1024);
}

}  // namespace
