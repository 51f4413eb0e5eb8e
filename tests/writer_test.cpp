// SPDX-License-Identifier: GPL-2.0-or-later
// Writing packed and plain files: the exact bytes, the chunk geometry, and
// the writer's answers to misuse and failure.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kob.h"
#include "kob_pack.h"
#include "test_util.h"

namespace {

using kobtest::ChunkHeader;
using kobtest::parseHeaders;
using kobtest::readFile;
using kobtest::TempDir;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(PackedWriter, WithoutDataWritesSignatureAndEndMarkerOnly) {
  TempDir dir;
  KobFile writer(dir.path("empty.kob").c_str(), WRITE);
  ASSERT_TRUE(writer.isOpen());
  EXPECT_EQ(writer.write("", 0), 0);
  EXPECT_EQ(writer.close(), 0);
  EXPECT_EQ(readFile(dir.path("empty.kob")),
            bytes({'K', 'O', 'B', 1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PackedWriter, OneByteGivesTheExactTwentyThreeByteFile) {
  TempDir dir;
  KobFile writer(dir.path("a.kob").c_str(), WRITE);
  EXPECT_EQ(writer.put(0x41), 0x41);
  writer.close();
  EXPECT_EQ(readFile(dir.path("a.kob")),
            bytes({'K', 'O', 'B', 1, 0, 0,                          // signature
                   0,   1,   0,   5, 0, 0, 0x12, 0x41, 0x11, 0, 0,  // chunk
                   0,   0,   0,   0, 0, 5}));  // end marker
}

TEST(PackedWriter, CutsChunksTheSameWayForEverySplitOfCalls) {
  std::mt19937 rng(kobtest::testSeed("CutsChunksTheSameWay"));
  TempDir dir;
  struct Case {
    std::size_t size;
    int chunkSize;
    std::vector<std::uint32_t> dataSizes;
  };
  const Case cases[] = {
      {16384, 16384, {16384}},
      {16385, 16384, {16384, 1}},
      {40000, 16384, {16384, 16384, 7232}},
      {10, 1, std::vector<std::uint32_t>(10, 1)},
      {2500, 1000, {1000, 1000, 500}},
      {70000, 65535, {65535, 4465}},
  };
  for (const Case& c : cases) {
    std::string data = kobtest::makeData(c.size, rng);
    std::string first =
        kobtest::packFile(dir.path("1.kob"), data, c.chunkSize, rng);
    std::string second =
        kobtest::packFile(dir.path("2.kob"), data, c.chunkSize, rng);
    EXPECT_EQ(first, second) << "size " << c.size;

    std::vector<ChunkHeader> headers = parseHeaders(first);
    ASSERT_EQ(headers.size(), c.dataSizes.size() + 1);
    std::uint32_t previousPayload = 0;
    for (std::size_t i = 0; i < headers.size(); ++i) {
      bool endMarker = i == c.dataSizes.size();
      EXPECT_EQ(headers[i].dataSize, endMarker ? 0 : c.dataSizes[i]);
      EXPECT_EQ(headers[i].payloadSize == 0, endMarker);
      EXPECT_EQ(headers[i].backLink, previousPayload);
      previousPayload = headers[i].payloadSize;
    }
    EXPECT_EQ(kobtest::decodeIndependently(first), data);
  }
}

TEST(PackedWriter, WriteThatFillsTheBufferWritesTheChunkAtOnce) {
  TempDir dir;
  std::string path = dir.path("full.kob");
  KobFile writer;
  writer.setBufferSize(100);
  writer.open(path.c_str(), WRITE);
  std::string data(100, 'x');
  writer.write(data.data(), 100);
  writer.open(dir.path("other.kob").c_str(), WRITE);  // closes the first
  std::vector<ChunkHeader> headers = parseHeaders(readFile(path));
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].dataSize, 100u);
}

TEST(PackedWriter, SplitsChunksWhoseCompressedFormWouldNotFitTheHeader) {
  std::mt19937 rng(kobtest::testSeed("SplitsChunks"));
  TempDir dir;
  std::string noise(65535 * 2 + 7, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  std::string packed =
      kobtest::packFile(dir.path("noise.kob"), noise, 65535, rng);
  std::vector<ChunkHeader> headers = parseHeaders(packed);
  ASSERT_EQ(headers.size(), 6u);
  EXPECT_EQ(headers[0].dataSize, 32767u);
  EXPECT_EQ(headers[1].dataSize, 32768u);
  EXPECT_EQ(headers[4].dataSize, 7u);
  EXPECT_EQ(kobtest::decodeIndependently(packed), noise);

  KobFile reader(dir.path("noise.kob").c_str(), READ);
  std::string back(noise.size() + 1, '\0');
  EXPECT_EQ(
      reader.read(reinterpret_cast<unsigned char*>(back.data()), back.size()),
      int(noise.size()));
  EXPECT_EQ(back.substr(0, noise.size()), noise);
}

TEST(PackedWriter, RefusesChunkSizesTheHeaderCannotHold) {
  TempDir dir;
  for (int size : {0, -1, 65536, 1 << 30}) {
    KobFile writer;
    writer.setBufferSize(size);
    EXPECT_FALSE(writer.open(dir.path("bad.kob").c_str(), WRITE));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_FALSE(kobtest::fileExists(dir.path("bad.kob")));
    EXPECT_EQ(writer.write("abc", 3), 0);
  }
  KobFile plain;
  plain.setBufferSize(0);
  EXPECT_TRUE(plain.open(dir.path("plain").c_str(), WRITEPLAIN));
}

TEST(PackedWriter, KeepsItsChunkSizeUntilTheNextOpen) {
  TempDir dir;
  std::string path = dir.path("sized.kob");
  KobFile writer;
  writer.setBufferSize(10);
  writer.open(path.c_str(), WRITE);
  writer.setBufferSize(3);
  EXPECT_EQ(writer.getBufferSize(), 3);
  writer.write("abcdefghijklmnopqrstuvwxy", 25);
  writer.close();
  std::vector<ChunkHeader> headers = parseHeaders(readFile(path));
  ASSERT_EQ(headers.size(), 4u);
  EXPECT_EQ(headers[0].dataSize, 10u);
  EXPECT_EQ(headers[2].dataSize, 5u);

  writer.open(path.c_str(), WRITE);
  writer.write("abcdefg", 7);
  writer.close();
  EXPECT_EQ(parseHeaders(readFile(path)).size(), 4u);  // 3 + 3 + 1, end
}

TEST(PackedWriter, ReopeningFinishesTheFileStillOpen) {
  TempDir dir;
  KobFile writer(dir.path("first.kob").c_str(), WRITE);
  writer.write("hello", 5);
  EXPECT_TRUE(writer.open(dir.path("second.kob").c_str(), WRITE));
  EXPECT_EQ(kobtest::decodeIndependently(readFile(dir.path("first.kob"))),
            "hello");
}

TEST(PackedWriter, MovingHandsTheFileOverAndLeavesTheSourceClosed) {
  TempDir dir;
  KobFile first(dir.path("moved.kob").c_str(), WRITE);
  first.write("abc", 3);
  KobFile second(std::move(first));
  EXPECT_FALSE(first.isOpen());
  EXPECT_EQ(first.write("zzz", 3), 0);
  second.write("def", 3);

  KobFile third(dir.path("replaced.kob").c_str(), WRITE);
  third.write("old", 3);
  third = std::move(second);  // finishes replaced.kob first
  EXPECT_FALSE(second.isOpen());
  third.put('g');
  EXPECT_EQ(third.close(), 0);
  EXPECT_EQ(kobtest::decodeIndependently(readFile(dir.path("moved.kob"))),
            "abcdefg");
  EXPECT_EQ(kobtest::decodeIndependently(readFile(dir.path("replaced.kob"))),
            "old");
}

TEST(PackedWriter, ReportsAFullDisk) {
  KobFile writer("/dev/full", WRITE);
  ASSERT_TRUE(writer.isOpen());
  std::mt19937 rng(1);
  std::string data(100000, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  writer.write(data.data(), data.size());
  EXPECT_TRUE(writer.hasError());
  errno = 0;
  EXPECT_EQ(writer.close(), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(writer.hasError());
}

TEST(PlainWriter, ReportsAFullDiskAtClose) {
  KobFile writer("/dev/full", WRITEPLAIN);
  writer.write("abc", 3);
  EXPECT_EQ(writer.close(), -1);
}

TEST(PlainWriter, WritesExactlyTheBytesGiven) {
  TempDir dir;
  std::string path = dir.path("plain");
  KobFile writer(path.c_str(), WRITEPLAIN);
  EXPECT_FALSE(writer.isCompressed());
  EXPECT_EQ(writer.write("KOB", 3), 3);
  EXPECT_EQ(writer.put(0x101), 0x01);
  EXPECT_EQ(writer.tell(), 4);
  EXPECT_EQ(writer.seek(1, SEEK_SET), 0);
  EXPECT_EQ(writer.put('X'), 'X');
  EXPECT_EQ(writer.close(), 0);
  EXPECT_EQ(readFile(path), bytes({'K', 'X', 'B', 1}));

  KobFile other(path.c_str(), 42);  // any other mode writes plain
  other.write("z", 1);
  other.close();
  EXPECT_EQ(readFile(path), "z");
}

TEST(PackedWriter, AnswersReaderCallsWithoutChangingAnything) {
  TempDir dir;
  KobFile writer(dir.path("w.kob").c_str(), WRITE);
  writer.write("abc", 3);
  unsigned char buf[4];
  EXPECT_EQ(writer.read(buf, 4), 0);
  EXPECT_EQ(writer.get(), -1);
  EXPECT_EQ(writer.seek(1, 0), -1);
  EXPECT_EQ(writer.tell(), 0);
  EXPECT_FALSE(writer.isEOF());
  EXPECT_EQ(writer.put(0x1FF), 0x1FF);  // returned unchanged, stored as 0xFF
  writer.close();
  EXPECT_EQ(kobtest::decodeIndependently(readFile(dir.path("w.kob"))),
            "abc\xFF");
}

TEST(ClosedFile, AnswersEveryCallAtOnce) {
  KobFile file;
  unsigned char buf[4];
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.read(buf, 4), 0);
  EXPECT_EQ(file.write("abc", 3), 0);
  EXPECT_EQ(file.put('a'), -1);
  EXPECT_EQ(file.get(), -1);
  EXPECT_EQ(file.seek(0, 0), -1);
  EXPECT_EQ(file.tell(), -1);
  EXPECT_TRUE(file.isEOF());
  EXPECT_FALSE(file.hasError());
  EXPECT_EQ(file.close(), 0);
  EXPECT_EQ(file.close(), 0);
  EXPECT_EQ(file.getBufferSize(), 16384);
}

TEST(ClosedFile, MissingFileLeavesTheObjectClosed) {
  KobFile file;
  EXPECT_FALSE(file.open("/nonexistent/dictionary.data", READ));
  EXPECT_FALSE(file.open(nullptr, READ));
  EXPECT_TRUE(file.isEOF());
  EXPECT_EQ(file.get(), -1);
}

TEST(ClosedFile, RemembersWhetherTheLastFileWasPacked) {
  TempDir dir;
  KobFile file(dir.path("x.kob").c_str(), WRITE);
  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_TRUE(file.isCompressed());

  // Each open decides afresh.
  kobtest::writeFile(dir.path("plain"), "not packed");
  ASSERT_TRUE(file.open(dir.path("x.kob").c_str(), READ));
  EXPECT_TRUE(file.isCompressed());
  ASSERT_TRUE(file.open(dir.path("plain").c_str(), READ));
  EXPECT_FALSE(file.isCompressed());
  ASSERT_TRUE(file.open(dir.path("x.kob").c_str(), READ));
  ASSERT_TRUE(file.open(dir.path("plain").c_str(), WRITEPLAIN));
  EXPECT_FALSE(file.isCompressed());
}

// kob::Packer on a stream of the caller's: a chunk filled by write goes out
// at once, one filled by put when the next byte comes; finish leaves the
// stream flushed, and nothing is taken after it.
TEST(Packer, WritesEachChunkInTurnAndNothingAfterFinish) {
  TempDir dir;
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    const std::string path = dir.path("p.kob");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    {
      kob::Packer packer(out, {10, threads});
      for (char c : std::string("abcdefghij")) ASSERT_TRUE(packer.put(c).ok());
      if (threads == 1) {
        EXPECT_EQ(std::ftell(out), 6) << "only the signature so far";
        ASSERT_TRUE(packer.put('k').ok());
        EXPECT_GT(std::ftell(out), 6) << "the first chunk";
        const long before = std::ftell(out);
        ASSERT_TRUE(packer.write("lmnopqrst", 9).ok());
        EXPECT_GT(std::ftell(out), before) << "the second chunk at once";
      } else {
        ASSERT_TRUE(packer.put('k').ok());
        ASSERT_TRUE(packer.write("lmnopqrst", 9).ok());
      }
      ASSERT_TRUE(packer.write("uvw", 3).ok());
      ASSERT_TRUE(packer.finish().ok());
      const std::string finished = readFile(path);  // without fclose
      EXPECT_EQ(kobtest::decodeIndependently(finished),
                "abcdefghijklmnopqrstuvw");
      EXPECT_EQ(packer.write("x", 1).error, EBADF);
      EXPECT_EQ(packer.put('x').error, EBADF);
      EXPECT_EQ(packer.finish().error, 0);
      EXPECT_EQ(packer.bytesTaken(), 23u);
      EXPECT_EQ(packer.bytesWritten(), finished.size());
      EXPECT_EQ(std::fflush(out), 0);
      EXPECT_EQ(readFile(path), finished);
    }
    std::fclose(out);
  }
}

// Data too small to fill the stream's buffer meets a full disk only at
// finish's flush, which says so, for kob::packStream as for a Packer.
TEST(Packer, FinishReportsAFullDiskMetAtTheFlush) {
  for (const bool viaPackStream : {false, true}) {
    SCOPED_TRACE(viaPackStream ? "packStream" : "Packer");
    std::FILE* out = std::fopen("/dev/full", "wb");
    ASSERT_NE(out, nullptr);
    kob::Failure failure;
    if (viaPackStream) {
      std::FILE* in = std::tmpfile();
      ASSERT_NE(in, nullptr);
      std::fputs("a few bytes", in);
      std::rewind(in);
      failure = kob::packStream(in, out, {});
      std::fclose(in);
    } else {
      kob::Packer packer(out, {});
      ASSERT_TRUE(packer.write("a few bytes", 11).ok());
      failure = packer.finish();
    }
    std::fclose(out);
    EXPECT_EQ(failure.error, ENOSPC);
    EXPECT_EQ(failure.action, kob::Failure::Action::Writing);
  }
}

// A failed read of the data to pack is named as reading, not writing.
TEST(Packer, PackStreamNamesAFailedReadOfItsInputAsReading) {
  TempDir dir;
  std::FILE* in = std::fopen(dir.root().c_str(), "rb");  // reading fails
  ASSERT_NE(in, nullptr);
  std::FILE* out = std::fopen(dir.path("out.kob").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  const kob::Failure failure = kob::packStream(in, out, {});
  std::fclose(out);
  std::fclose(in);
  EXPECT_EQ(failure.error, EISDIR);
  EXPECT_EQ(failure.action, kob::Failure::Action::Reading);
  EXPECT_EQ(failure.describe(), std::string("cannot read: ") + std::strerror(EISDIR));
}

}  // namespace
