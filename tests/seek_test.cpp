// SPDX-License-Identifier: GPL-2.0-or-later
// Seeking in packed files: where each seek lands, the state it leaves, and
// which chunks it decompresses. A chunk whose payload has been spoiled sets
// hasError() the moment it is decompressed, so a seek that must not touch a
// chunk is tested by spoiling that chunk.

#include <gtest/gtest.h>

#include "kob.h"
#include "test_util.h"

namespace {

using kobtest::ChunkHeader;
using kobtest::TempDir;

class PackedSeek : public ::testing::Test {
 protected:
  void pack(std::size_t size, int chunkSize = 16384) {
    std::mt19937 rng(static_cast<unsigned>(size));
    data = kobtest::makeData(size, rng);
    packed = kobtest::packFile(path(), data, chunkSize, rng);
    headers = kobtest::parseHeaders(packed);
  }
  // Makes chunk `index`'s payload undecodable.
  void spoil(std::size_t index) {
    kobtest::spoilPayload(packed, headers.at(index));
    kobtest::writeFile(path(), packed);
  }
  void open() { ASSERT_TRUE(reader.open(path().c_str(), READ)); }
  int byteAt(std::size_t position) {
    return static_cast<unsigned char>(data.at(position));
  }
  std::string path() const { return dir.path("data.kob"); }

  TempDir dir;
  std::string data;
  std::string packed;
  std::vector<ChunkHeader> headers;
  KobFile reader;
};

TEST_F(PackedSeek, ZeroDistanceReadsNothing) {
  pack(40000);
  spoil(0);
  open();
  EXPECT_EQ(reader.seek(0, 1), 0);
  EXPECT_EQ(reader.seek(0, 0), 0);
  EXPECT_FALSE(reader.hasError());
}

TEST_F(PackedSeek, InsideTheFirstChunkRightAfterOpening) {
  pack(40000);
  open();
  EXPECT_EQ(reader.seek(1234, 0), 1234);
  EXPECT_EQ(reader.get(), byteAt(1234));
  EXPECT_EQ(reader.tell(), 1235);
}

TEST_F(PackedSeek, ToTheStartAfterReadingServesTheFirstByteAgain) {
  pack(40000);
  open();
  std::vector<unsigned char> buf(20000);
  reader.read(buf.data(), 20000);
  EXPECT_EQ(reader.seek(0, 0), 0);
  EXPECT_EQ(reader.tell(), 0);
  EXPECT_EQ(reader.get(), byteAt(0));
  EXPECT_EQ(reader.seek(-5, 0), 0);
  EXPECT_EQ(reader.seek(-100000, 1), 0);
}

TEST_F(PackedSeek, BeyondTheEndLandsOnTheEndAndCanStepBack) {
  pack(40000);
  open();
  EXPECT_EQ(reader.seek(99999, 0), 40000);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_EQ(reader.seek(10, 1), 40000);
  EXPECT_EQ(reader.seek(-1, 1), 39999);
  EXPECT_FALSE(reader.isEOF());
  EXPECT_EQ(reader.get(), byteAt(39999));
}

TEST_F(PackedSeek, AsFarForwardAsAPositionGoesLandsOnTheEnd) {
  pack(40000);
  open();
  EXPECT_EQ(reader.seek64(100, 0), 100);
  EXPECT_EQ(reader.seek64(INT64_MAX, 1), 40000);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_EQ(reader.seek64(-5, 1), 39995);
  EXPECT_EQ(reader.seek64(INT64_MAX, 1), 40000);
  EXPECT_EQ(reader.seek64(INT64_MIN, 1), 0);
  EXPECT_EQ(reader.get(), byteAt(0));
  EXPECT_FALSE(reader.hasError());
}

TEST_F(PackedSeek, ForwardToAChunkStartDecompressesNothing) {
  pack(40000);
  spoil(0);
  spoil(1);
  spoil(2);
  open();
  EXPECT_EQ(reader.seek(32768, 0), 32768);
  EXPECT_FALSE(reader.hasError());
  EXPECT_FALSE(reader.isEOF());
  // The third chunk is decompressed only now, by the read.
  EXPECT_EQ(reader.get(), -1);
  EXPECT_TRUE(reader.hasError());
  EXPECT_EQ(reader.tell(), 32768);
}

TEST_F(PackedSeek, ForwardToAChunkStartServesItsFirstByte) {
  pack(40000);
  spoil(1);
  open();
  EXPECT_EQ(reader.seek(32768, 0), 32768);
  EXPECT_EQ(reader.get(), byteAt(32768));
  EXPECT_FALSE(reader.hasError());
}

TEST_F(PackedSeek, ForwardToExactlyTheDataSizeEntersTheEnd) {
  pack(32768);
  open();
  EXPECT_EQ(reader.seek(32768, 0), 32768);
  EXPECT_TRUE(reader.isEOF());
}

TEST_F(PackedSeek, BackwardDecompressesOnlyTheChunkLandedIn) {
  pack(50000);
  spoil(1);
  open();
  EXPECT_EQ(reader.seek(40000, 0), 40000);
  EXPECT_EQ(reader.get(), byteAt(40000));
  EXPECT_EQ(reader.seek(100, 0), 100);
  EXPECT_EQ(reader.get(), byteAt(100));
  EXPECT_FALSE(reader.hasError());
}

TEST_F(PackedSeek, BackOneByteAfterAUsedUpChunkStaysInIt) {
  pack(40000);
  open();
  std::vector<unsigned char> buf(16384);
  EXPECT_EQ(reader.read(buf.data(), 16384), 16384);
  EXPECT_EQ(reader.seek(-1, 1), 16383);
  EXPECT_EQ(reader.get(), byteAt(16383));
  EXPECT_EQ(reader.get(), byteAt(16384));
  EXPECT_EQ(reader.seek(0, 0), 0);
  EXPECT_EQ(reader.read(buf.data(), 1), 1);
  EXPECT_EQ(buf[0], byteAt(0));
}

TEST_F(PackedSeek, EndFlagAtTheDataSizeDependsOnTheWayThere) {
  pack(1000, 100);
  open();
  std::vector<unsigned char> buf(1000);
  EXPECT_EQ(reader.read(buf.data(), 1000), 1000);
  EXPECT_EQ(reader.seek(1000, 0), 1000);
  EXPECT_FALSE(reader.isEOF());
  EXPECT_EQ(reader.seek(999, 0), 999);
  EXPECT_EQ(reader.seek(1000, 0), 1000);
  EXPECT_TRUE(reader.isEOF());
}

TEST_F(PackedSeek, BackwardFromTheEndWorksWhenTheEndMarkerIsCut) {
  pack(1000, 100);
  kobtest::truncateAt(path(), packed.size() - 1);
  open();
  EXPECT_EQ(reader.seek(5000, 0), 1000);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_FALSE(reader.hasError());
  EXPECT_EQ(reader.seek(-150, 1), 850);
  EXPECT_EQ(reader.get(), byteAt(850));
  EXPECT_EQ(reader.seek(900, 0), 900);
  EXPECT_EQ(reader.get(), byteAt(900));
  EXPECT_FALSE(reader.hasError());
}

TEST(PlainSeek, ReturnsZeroOnSuccessNotThePosition) {
  TempDir dir;
  kobtest::writeFile(dir.path("plain"), "hello world");
  KobFile file(dir.path("plain").c_str(), READ);
  EXPECT_EQ(file.seek(6, SEEK_SET), 0);
  EXPECT_EQ(file.get(), 'w');
  EXPECT_EQ(file.seek(-1, SEEK_END), 0);
  EXPECT_EQ(file.get(), 'd');
  EXPECT_EQ(file.seek(-100, SEEK_SET), -1);
}

}  // namespace
