// SPDX-License-Identifier: GPL-2.0-or-later
// Packed data beyond 4 GiB: a file made by repeating one compressed chunk of
// 65535 bytes (a few tens of MB on disk) reads, seeks and unpacks as any
// other, through KobFile and through kob.

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <thread>

#include "kob.h"
#include "kob_streambuf.h"
#include "test_util.h"

namespace {

constexpr std::uint32_t kChunkData = 65535;
constexpr std::uint64_t kChunks = 65600;  // 4,299,096,000 bytes of data
constexpr std::uint64_t kDataSize = kChunks * kChunkData;
constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

// The byte at `position` of the data.
unsigned char byteAt(std::uint64_t position) {
  const std::uint64_t inChunk = position % kChunkData;
  return static_cast<unsigned char>(
      "kob packs data into chunks. "
      "0123456789abcdefghijklmnopqrstuvwxyz"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZ!?"[inChunk % 92]);
}

class LargeData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new kobtest::TempDir;
    chunk.resize(kChunkData);
    for (std::uint32_t i = 0; i < kChunkData; ++i) chunk[i] = byteAt(i);
    std::vector<unsigned char> payload(kChunkData + kChunkData / 16 + 67);
    std::vector<unsigned char> work(LZO1X_999_MEM_COMPRESS);
    lzo_uint payloadSize = 0;
    ASSERT_EQ(lzo1x_999_compress(chunk.data(), kChunkData, payload.data(),
                                 &payloadSize, work.data()),
              LZO_E_OK);
    std::ofstream out(path(), std::ios::binary);
    out.write("KOB\x01\x00\x00", 6);
    auto header = [&](std::uint32_t dataSize, std::uint32_t size,
                      std::uint32_t link) {
      const char h[6] = {char(dataSize >> 8), char(dataSize),  char(size >> 8),
                         char(size),          char(link >> 8), char(link)};
      out.write(h, 6);
    };
    for (std::uint64_t i = 0; i < kChunks; ++i) {
      header(kChunkData, payloadSize, i == 0 ? 0 : payloadSize);
      out.write(reinterpret_cast<const char*>(payload.data()), payloadSize);
    }
    header(0, 0, payloadSize);
  }
  static void TearDownTestSuite() { delete dir; }
  static std::string path() { return dir->path("large.kob"); }

  static void expectBytesAt(KobFile& file, std::uint64_t position,
                            unsigned length) {
    std::vector<unsigned char> buf(length);
    ASSERT_EQ(file.read(buf.data(), length), static_cast<int>(length));
    for (unsigned i = 0; i < length; ++i) {
      ASSERT_EQ(buf[i], byteAt(position + i)) << "at " << position + i;
    }
  }

  static kobtest::TempDir* dir;
  static std::vector<unsigned char> chunk;
};

kobtest::TempDir* LargeData::dir;
std::vector<unsigned char> LargeData::chunk;

TEST_F(LargeData, ReadsThroughToTheEndBeyondFourGiB) {
  KobFile file(path().c_str(), READ);
  std::vector<unsigned char> buf(kChunkData);
  std::uint64_t total = 0;
  for (int n; (n = file.read(buf.data(), kChunkData)) > 0;) {
    ASSERT_EQ(n, static_cast<int>(kChunkData));
    ASSERT_EQ(buf, chunk) << "chunk at " << total;
    total += static_cast<std::uint64_t>(n);
  }
  EXPECT_EQ(total, kDataSize);
  EXPECT_FALSE(file.hasError());
  EXPECT_TRUE(file.isEOF());
  EXPECT_EQ(file.tell64(), static_cast<std::int64_t>(kDataSize));
  EXPECT_EQ(file.tell(), -1) << "an int cannot say where it stands";
}

TEST_F(LargeData, SeeksNearTheEndAndBack) {
  KobFile file(path().c_str(), READ);
  const auto size = static_cast<std::int64_t>(kDataSize);
  EXPECT_EQ(file.seek64(size - 10, 0), size - 10);
  expectBytesAt(file, kDataSize - 10, 10);
  EXPECT_EQ(file.seek64(size + 100, 0), size);
  EXPECT_TRUE(file.isEOF());
  EXPECT_EQ(file.seek64(-static_cast<std::int64_t>(k4GiB), 1),
            size - static_cast<std::int64_t>(k4GiB));
  expectBytesAt(file, kDataSize - k4GiB, 100);
  EXPECT_EQ(file.seek64(k4GiB + 7, 0), static_cast<std::int64_t>(k4GiB) + 7);
  expectBytesAt(file, k4GiB + 7, 70000);
  EXPECT_EQ(file.seek64(3, 0), 3);
  expectBytesAt(file, 3, 10);
  EXPECT_FALSE(file.hasError());
}

TEST_F(LargeData, IntFormsAnswerBelowFourGiBAndFailBeyond) {
  KobFile file(path().c_str(), READ);
  const std::int64_t threeGiB = std::int64_t{3} << 30;
  ASSERT_EQ(file.seek64(threeGiB, 0), threeGiB);
  EXPECT_EQ(file.tell(),
            static_cast<int>(static_cast<std::uint32_t>(threeGiB)));
  EXPECT_LT(file.tell(), 0) << "2 GiB and more come back negative";
  EXPECT_EQ(file.seek(INT_MAX, 1), -1) << "would land beyond 4 GiB";
  EXPECT_EQ(file.tell64(), threeGiB) << "and the position stays";
  expectBytesAt(file, static_cast<std::uint64_t>(threeGiB), 10);
  EXPECT_EQ(file.seek(1000, 1),
            static_cast<int>(static_cast<std::uint32_t>(threeGiB + 1010)));
  ASSERT_EQ(file.seek64(k4GiB + 1, 0), static_cast<std::int64_t>(k4GiB) + 1);
  EXPECT_EQ(file.tell(), -1);
  EXPECT_EQ(file.seek(0, 1), -1);
  EXPECT_EQ(file.seek(5, 0), 5);
  EXPECT_EQ(file.tell(), 5);
}

TEST_F(LargeData, IntSeekLeavesAStreamWhereItIsRatherThanPassFourGiB) {
  std::signal(SIGPIPE, SIG_IGN);  // the reader stops early
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::thread feeder([fd = ends[1]] {
    std::ifstream in(path(), std::ios::binary);
    std::vector<char> block(1 << 16);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           in.gcount() > 0) {
      const char* at = block.data();
      for (auto left = static_cast<std::size_t>(in.gcount()); left > 0;) {
        const ssize_t n = ::write(fd, at, left);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
      }
    }
    ::close(fd);
  });
  KobFile stream;
  ASSERT_TRUE(stream.openDescriptor(ends[0], READ));
  const std::int64_t threeGiB = std::int64_t{3} << 30;
  ASSERT_EQ(stream.seek64(threeGiB, 0), threeGiB);
  EXPECT_EQ(stream.seek(INT_MAX, 1), -1) << "would pass 4 GiB for good";
  EXPECT_EQ(stream.tell64(), threeGiB);
  expectBytesAt(stream, static_cast<std::uint64_t>(threeGiB), 10);
  EXPECT_FALSE(stream.hasError());
  stream.close();
  feeder.join();
}

TEST_F(LargeData, StreamBufSeeksAndTellsBeyondTwoGiB) {
  KobFile file(path().c_str(), READ);
  KobStreamBuf buffer(file);
  std::istream in(&buffer);
  const std::streamoff far = std::streamoff{3} << 30;
  in.seekg(far);
  EXPECT_EQ(in.tellg(), far);
  char c = 0;
  in.get(c);
  EXPECT_EQ(static_cast<unsigned char>(c),
            byteAt(static_cast<std::uint64_t>(far)));
  in.seekg(-1, std::ios::end);
  EXPECT_EQ(in.tellg(), static_cast<std::streamoff>(kDataSize) - 1);
  EXPECT_TRUE(in.good());
}

TEST_F(LargeData, KobTestsListsAndUnpacksIt) {
  auto run = [](const std::string& arguments) {
    const std::string line =
        "set -o pipefail; '" + std::string(KOB_PATH) + "' " + arguments;
    std::string command =
        "bash -c \"" + line + "\" > '" + dir->path("out") + "' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const std::string file = " '" + path() + "'";
  EXPECT_EQ(run("-t" + file), 0) << kobtest::readFile(dir->path("out"));
  EXPECT_EQ(run("-l" + file), 0);
  EXPECT_NE(kobtest::readFile(dir->path("out")).find(" 4299096000 "),
            std::string::npos);
  EXPECT_EQ(run("-d -c" + file + " | wc -c"), 0);
  EXPECT_EQ(kobtest::readFile(dir->path("out")), "4299096000\n");
  const std::uint64_t near = kDataSize - 50;
  EXPECT_EQ(run("-d -b " + std::to_string(near) + " -s 100" + file), 0);
  std::string expected;
  for (std::uint64_t p = near; p < kDataSize; ++p) expected += char(byteAt(p));
  EXPECT_EQ(kobtest::readFile(dir->path("out")), expected);
}

}  // namespace
