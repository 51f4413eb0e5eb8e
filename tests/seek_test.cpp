// SPDX-License-Identifier: GPL-2.0-or-later
// Seeking and reading at the edges of packed files, as a table: where each
// seek lands, what each read gives, the state they leave, and which chunks
// they decompress. A chunk whose payload has been
// spoiled sets hasError() the moment it is decompressed, so a seek that
// must not touch a chunk is tested by spoiling that chunk.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kob.h"
#include "test_util.h"

namespace {

enum Op { Seek, Seek64, Get, Read, Tell, Eof, Error, Met };
// One call and its answer: Seek and Seek64 go by `by` from `whence` and
// land at `want`; Get gives the byte at `want` (-1: fails); Read of `by`
// bytes gives `want` of them, the data's where the reader stood; Tell says
// `want`; Eof and Error say whether (`want` 1) or not (0); Met is the
// damage met, a kob::Damage.
struct Step {
  Op op;
  std::int64_t by;
  int whence;
  std::int64_t want;
};
// A packed file of `size` bytes of data in chunks of `chunkSize`, the
// chunks numbered in `spoiled` spoiled, `cut` bytes cut from its end; the
// steps taken on a reader fresh on it.
struct Case {
  const char* what;
  std::size_t size;
  int chunkSize;
  std::vector<std::size_t> spoiled;
  std::size_t cut;
  std::vector<Step> steps;
};

constexpr std::int64_t kFar = INT64_MAX;
constexpr std::int64_t kBack = INT64_MIN;

TEST(PackedSeek, EachSeekLandsWhereItShouldAndDecompressesOnlyWhatItMust) {
  const std::int64_t rejected = static_cast<std::int64_t>(kob::Damage::PayloadRejected);
  const Case cases[] = {
      {"a file without data is at its end straight away", 0, 16384, {}, 0,
       {{Eof, 0, 0, 1}, {Read, 1, 0, 0}, {Get, 0, 0, -1}, {Tell, 0, 0, 0}, {Error, 0, 0, 0}}},
      {"the end is entered only by the read after the last byte", 32768, 16384, {}, 0,
       {{Read, 32768, 0, 32768}, {Eof, 0, 0, 0}, {Read, 0, 0, 0}, {Eof, 0, 0, 1},
        {Tell, 0, 0, 32768}}},
      {"a read of no bytes brings the chunk in but keeps the position", 100, 10, {}, 0,
       {{Read, 10, 0, 10}, {Read, 0, 0, 0}, {Tell, 0, 0, 10}, {Eof, 0, 0, 0}, {Get, 0, 0, 10}}},
      {"a read of no bytes decompresses the chunk it stands in", 300, 100, {1}, 0,
       {{Seek, 150, SEEK_SET, 150}, {Error, 0, 0, 0}, {Read, 0, 0, 0}, {Met, 0, 0, rejected},
        {Tell, 0, 0, 100}}},
      {"a read across three chunks is contiguous", 50, 10, {}, 0,
       {{Seek, 5, SEEK_SET, 5}, {Read, 25, 0, 25}, {Tell, 0, 0, 30}}},
      {"zero distance reads nothing", 40000, 16384, {0}, 0,
       {{Seek, 0, SEEK_CUR, 0}, {Seek, 0, SEEK_SET, 0}, {Error, 0, 0, 0}}},
      {"inside the first chunk right after opening", 40000, 16384, {}, 0,
       {{Seek, 1234, SEEK_SET, 1234}, {Get, 0, 0, 1234}, {Tell, 0, 0, 1235}}},
      {"to the start after reading serves the first byte again", 40000, 16384, {}, 0,
       {{Read, 20000, 0, 20000}, {Seek, 0, SEEK_SET, 0}, {Tell, 0, 0, 0}, {Get, 0, 0, 0},
        {Seek, -5, SEEK_SET, 0}, {Seek, -100000, SEEK_CUR, 0}}},
      {"beyond the end lands on the end and can step back", 40000, 16384, {}, 0,
       {{Seek, 99999, SEEK_SET, 40000}, {Eof, 0, 0, 1}, {Seek, 10, SEEK_CUR, 40000},
        {Seek, -1, SEEK_CUR, 39999}, {Eof, 0, 0, 0}, {Get, 0, 0, 39999}}},
      {"as far forward as a position goes lands on the end", 40000, 16384, {}, 0,
       {{Seek64, 100, SEEK_SET, 100}, {Seek64, kFar, SEEK_CUR, 40000}, {Eof, 0, 0, 1},
        {Seek64, -5, SEEK_CUR, 39995}, {Seek64, kFar, SEEK_CUR, 40000},
        {Seek64, kBack, SEEK_CUR, 0}, {Get, 0, 0, 0}, {Error, 0, 0, 0}}},
      {"forward to a chunk's start decompresses nothing, the read does", 40000, 16384,
       {0, 1, 2}, 0,
       {{Seek, 32768, SEEK_SET, 32768}, {Error, 0, 0, 0}, {Eof, 0, 0, 0}, {Get, 0, 0, -1},
        {Error, 0, 0, 1}, {Tell, 0, 0, 32768}}},
      {"forward to a chunk's start serves its first byte", 40000, 16384, {1}, 0,
       {{Seek, 32768, SEEK_SET, 32768}, {Get, 0, 0, 32768}, {Error, 0, 0, 0}}},
      {"forward to exactly the data's size enters the end", 32768, 16384, {}, 0,
       {{Seek, 32768, SEEK_SET, 32768}, {Eof, 0, 0, 1}}},
      {"backward decompresses only the chunk landed in", 50000, 16384, {1}, 0,
       {{Seek, 40000, SEEK_SET, 40000}, {Get, 0, 0, 40000}, {Seek, 100, SEEK_SET, 100},
        {Get, 0, 0, 100}, {Error, 0, 0, 0}}},
      {"back one byte after a used-up chunk stays in it", 40000, 16384, {}, 0,
       {{Read, 16384, 0, 16384}, {Seek, -1, SEEK_CUR, 16383}, {Get, 0, 0, 16383},
        {Get, 0, 0, 16384}, {Seek, 0, SEEK_SET, 0}, {Read, 1, 0, 1}}},
      {"the end flag at the data's size depends on the way there", 1000, 100, {}, 0,
       {{Read, 1000, 0, 1000}, {Seek, 1000, SEEK_SET, 1000}, {Eof, 0, 0, 0},
        {Seek, 999, SEEK_SET, 999}, {Seek, 1000, SEEK_SET, 1000}, {Eof, 0, 0, 1}}},
      {"backward from the end works when the end marker is cut", 1000, 100, {}, 1,
       {{Seek, 5000, SEEK_SET, 1000}, {Eof, 0, 0, 1}, {Error, 0, 0, 0},
        {Seek, -150, SEEK_CUR, 850}, {Get, 0, 0, 850}, {Seek, 900, SEEK_SET, 900},
        {Get, 0, 0, 900}, {Error, 0, 0, 0}}},
  };
  kobtest::TempDir dir;
  const std::string path = dir.path("data.kob");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 rng(static_cast<unsigned>(c.size));
    const std::string data = kobtest::makeData(c.size, rng);
    std::string packed = kobtest::packFile(path, data, c.chunkSize, rng);
    const std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
    for (std::size_t chunk : c.spoiled) kobtest::spoilPayload(packed, headers.at(chunk));
    kobtest::writeFile(path, packed.substr(0, packed.size() - c.cut));
    KobFile reader;
    ASSERT_TRUE(reader.open(path.c_str(), READ));
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      switch (s.op) {
        case Seek:
          EXPECT_EQ(reader.seek(static_cast<long>(s.by), s.whence), s.want);
          break;
        case Seek64:
          EXPECT_EQ(reader.seek64(s.by, s.whence), s.want);
          break;
        case Get:
          EXPECT_EQ(reader.get(),
                    s.want < 0 ? -1 : static_cast<unsigned char>(data.at(static_cast<std::size_t>(s.want))));
          break;
        case Read: {
          const std::int64_t at = reader.tell64();
          std::vector<unsigned char> bytes(static_cast<std::size_t>(s.by));
          ASSERT_EQ(reader.read(bytes.data(), static_cast<unsigned>(s.by)), s.want);
          EXPECT_TRUE(std::string(bytes.begin(), bytes.begin() + s.want) ==
                      data.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(s.want)));
          break;
        }
        case Tell:
          EXPECT_EQ(reader.tell(), s.want);
          break;
        case Eof:
          EXPECT_EQ(reader.isEOF(), s.want == 1);
          break;
        case Error:
          EXPECT_EQ(reader.hasError(), s.want == 1);
          break;
        case Met:
          EXPECT_EQ(reader.damage(), static_cast<kob::Damage>(s.want));
          break;
      }
    }
  }
}

TEST(PlainSeek, ReturnsZeroOnSuccessNotThePosition) {
  kobtest::TempDir dir;
  kobtest::writeFile(dir.path("plain"), "hello world");
  KobFile file(dir.path("plain").c_str(), READ);
  EXPECT_EQ(file.seek(6, SEEK_SET), 0);
  EXPECT_EQ(file.get(), 'w');
  EXPECT_EQ(file.seek(-1, SEEK_END), 0);
  EXPECT_EQ(file.get(), 'd');
  EXPECT_EQ(file.seek(-100, SEEK_SET), -1);
}

}  // namespace
