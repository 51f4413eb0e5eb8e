// The reader's chunk index: it must change nothing a caller can observe,
// only how many headers a seek reads.

#include <gtest/gtest.h>

#include "kob.h"
#include "test_util.h"

// Reaches into the reader for what no caller can observe.
class KobFileTestPeer {
 public:
  static void forgetIndex(KobFile& file) {
    file.chunkIndex.clear();
    file.brokenLinks.clear();
    file.indexComplete = false;
    file.indexEnabled = false;
  }
  static std::size_t knownChunks(const KobFile& file) {
    return file.chunkIndex.size();
  }
  static std::size_t heldBytes(const KobFile& file) {
    return file.bufferCapacity + file.compressedCapacity +
           file.chunkIndex.capacity() * sizeof(KobFile::IndexEntry) +
           file.brokenLinks.capacity() * sizeof(std::size_t);
  }
};

namespace {

TEST(ChunkIndex, RandomSeeksAnswerExactlyAsWithoutIt) {
  std::mt19937 rng(kobtest::testSeed("RandomSeeksAnswerExactlyAsWithoutIt"));
  kobtest::TempDir dir;
  const std::string path = dir.path("index.kob");
  for (int round = 0; round < kobtest::testRounds(40); ++round) {
    int chunkSize = 1 + static_cast<int>(rng() % 3000);
    std::size_t size = rng() % 40000;
    std::string data = kobtest::makeData(size, rng);
    kobtest::packFile(path, data, chunkSize, rng);
    // Undamaged files only: on a damaged one the walk back can be misled by
    // a back-link that happens to point at bytes passing its checks, where
    // the index knows better (see the damage tests).
    KobFile indexed(path.c_str(), READ);
    KobFile walking(path.c_str(), READ);
    KobFileTestPeer::forgetIndex(walking);
    SCOPED_TRACE(testing::Message() << "round " << round << " size " << size
                                    << " chunk size " << chunkSize);
    for (int i = 0; i < 400; ++i) {
      int offset =
          static_cast<int>(rng() % (size + 2 * chunkSize + 10)) - chunkSize - 5;
      int whence = static_cast<int>(rng() % 3);
      ASSERT_EQ(indexed.seek(offset, whence), walking.seek(offset, whence))
          << "seek " << i;
      unsigned char a[64], b[64];
      unsigned length = rng() % 64;
      int n = indexed.read(a, length);
      ASSERT_EQ(n, walking.read(b, length));
      ASSERT_EQ(std::string(a, a + n), std::string(b, b + n));
      ASSERT_EQ(indexed.get(), walking.get());
      ASSERT_EQ(indexed.tell(), walking.tell());
      ASSERT_EQ(indexed.isEOF(), walking.isEOF());
      ASSERT_EQ(indexed.hasError(), walking.hasError());
    }
  }
}

TEST(ChunkIndex, BackwardSeekJumpsWithoutReadingTheHeadersBetween) {
  std::mt19937 rng(3);
  kobtest::TempDir dir;
  const std::string path = dir.path("jump.kob");
  std::string data = kobtest::makeData(1000, rng);
  std::string packed = kobtest::packFile(path, data, 100, rng);
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);

  KobFile reader(path.c_str(), READ);
  EXPECT_EQ(reader.seek(950, 0), 950);
  EXPECT_EQ(KobFileTestPeer::knownChunks(reader), 10u);
  // A header the walk back would have to read, changed behind the reader.
  kobtest::flipByte(path, headers[5].offset + 2, 0x01);
  EXPECT_EQ(reader.seek(150, 0), 150);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[150]));
  EXPECT_FALSE(reader.hasError());
}

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
  EXPECT_EQ(KobFileTestPeer::knownChunks(reader), 11u);  // and the end
}

TEST(ReaderMemory, HoldsOneChunksArraysPlusTheIndex) {
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
    // One chunk's data, one payload with the headers around it, the index.
    ASSERT_LE(KobFileTestPeer::heldBytes(reader),
              65535 + (6 + 65535 + 6) + 2 * (chunks + 1) * sizeof(long) * 2);
  }
  std::vector<unsigned char> all(data.size());
  reader.seek(0, 0);
  EXPECT_EQ(reader.read(all.data(), all.size()), int(all.size()));
  reader.close();
  EXPECT_EQ(KobFileTestPeer::heldBytes(reader), 0u);
}

}  // namespace
