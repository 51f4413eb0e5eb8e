// SPDX-License-Identifier: GPL-2.0-or-later
// Opening for reading, and reading packed files to their end (the edges of
// reading are in seek_test.cpp's table).

#include <gtest/gtest.h>

#include "kob.h"
#include "test_util.h"

namespace {

using kobtest::TempDir;

class PackedReader : public ::testing::Test {
 protected:
  // Packs `size` bytes with `chunkSize` and opens the result for reading.
  void pack(std::size_t size, int chunkSize = 16384) {
    std::mt19937 rng(size);
    data = kobtest::makeData(size, rng);
    kobtest::packFile(dir.path("data.kob"), data, chunkSize, rng);
    ASSERT_TRUE(reader.open(dir.path("data.kob").c_str(), READ));
    ASSERT_TRUE(reader.isCompressed());
  }
  std::string readAll(unsigned int block) {
    std::string out;
    std::vector<unsigned char> buf(block);
    for (;;) {
      int n = reader.read(buf.data(), block);
      out.append(buf.begin(), buf.begin() + n);
      if (n < int(block)) return out;
    }
  }

  TempDir dir;
  std::string data;
  KobFile reader;
};

TEST_F(PackedReader, ReturnsExactlyTheDataInBlocksOfAnySize) {
  pack(40000);
  for (unsigned int block : {1u, 7u, 1024u, 16384u, 16385u, 50000u}) {
    reader.seek(0, 0);
    EXPECT_EQ(readAll(block), data) << "block " << block;
    EXPECT_TRUE(reader.isEOF());
    unsigned char b;
    EXPECT_EQ(reader.read(&b, 1), 0);
  }
}

TEST_F(PackedReader, GetsEveryByteThenMinusOneForever) {
  pack(3000, 1000);
  for (unsigned char expected : data) ASSERT_EQ(reader.get(), expected);
  EXPECT_FALSE(reader.isEOF());
  EXPECT_EQ(reader.get(), -1);
  EXPECT_EQ(reader.get(), -1);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_EQ(reader.tell(), 3000);
}

// With partial decoding, a read of 0 bytes decompresses as far as a read of
// one byte does, so it meets the same damage: at every position of a chunk
// with any payload byte changed, near the margin partial decoding adds too.
TEST(ReadOfZeroBytes, MeetsTheDamageAReadOfOneByteMeets) {
  TempDir dir;
  const std::string path = dir.path("margin.kob");
  for (int chunkSize : {65, 66, 130}) {
    std::mt19937 rng(static_cast<unsigned>(chunkSize));
    const std::string data = kobtest::makeData(3 * chunkSize, rng);
    const std::string packed = kobtest::packFile(path, data, chunkSize, rng);
    const kobtest::ChunkHeader second = kobtest::parseHeaders(packed)[1];
    for (std::size_t byte = 0; byte < second.payloadSize; ++byte) {
      std::string changed = packed;
      changed[second.offset + 6 + byte] ^= '\xFF';
      kobtest::writeFile(path, changed);
      for (int at = chunkSize; at < 2 * chunkSize; ++at) {
        SCOPED_TRACE(testing::Message() << "chunk size " << chunkSize
                                        << " payload byte " << byte << " at "
                                        << at);
        KobFile none, one;
        for (KobFile* reader : {&none, &one}) {
          reader->setPartialDecoding(true);
          ASSERT_TRUE(reader->open(path.c_str(), READ));
          ASSERT_EQ(reader->seek(at, 0), at);
        }
        unsigned char buf[1];
        none.read(buf, 0);
        one.read(buf, 1);
        ASSERT_EQ(none.damage(), one.damage());
      }
    }
  }
}

TEST_F(PackedReader, RefusesWritingWithoutChangingAnything) {
  pack(20, 10);
  EXPECT_EQ(reader.write("abc", 3), 0);
  EXPECT_EQ(reader.put('a'), -1);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[0]));
  EXPECT_EQ(reader.close(), 0);
  EXPECT_EQ(
      kobtest::decodeIndependently(kobtest::readFile(dir.path("data.kob"))),
      data);
}

TEST(OpenForReading, TakesAFileAsPackedByItsFirstFourBytes) {
  TempDir dir;
  struct Case {
    std::string bytes;
    bool packed;
  };
  const Case cases[] = {
      {"", false},
      {"KOB", false},
      {"KOX\x01\x00\x00\x00\x00\x00\x00\x00\x00", false},
      {std::string("KOB\x02\x00\x00\x00\x00\x00\x00\x00\x00", 12), false},
      // Flags not known (but the seal's) are stepped over.
      {std::string("KOB\x01\x06\x09\x00\x00\x00\x00\x00\x00", 12), true},
  };
  for (const Case& c : cases) {
    kobtest::writeFile(dir.path("f"), c.bytes);
    KobFile file(dir.path("f").c_str(), READ);
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.isCompressed(), c.packed) << c.bytes;
    EXPECT_EQ(file.tell(), 0);
    EXPECT_FALSE(file.hasError());
    if (!c.packed && !c.bytes.empty()) {
      EXPECT_EQ(file.get(), static_cast<unsigned char>(c.bytes[0]));
    }
  }
}

TEST(OpenForReading, ReportsAReadErrorOnAPlainFile) {
  TempDir dir;  // a folder opens for reading, but reading it fails
  KobFile file(dir.root().c_str(), READ);
  ASSERT_TRUE(file.isOpen());
  unsigned char buf[16];
  EXPECT_EQ(file.read(buf, 16), 0);
  EXPECT_TRUE(file.hasError());
  EXPECT_FALSE(file.isEOF());
  EXPECT_EQ(file.close(), 0) << "a reader's close has nothing to report";
}

}  // namespace
