// SPDX-License-Identifier: GPL-2.0-or-later
// One reading of the format, one damage policy: on any damaged file the
// scanner behind `kob -t` fails exactly when reading the file through
// KobFile does, and the same calls give the same answers on a fresh reader
// as on one that has been elsewhere in the file first.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "kob.h"
#include "kob_pack.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// Every variant of a small packed file worth a sweep: cut at every offset,
// and every header byte changed under a few masks.
std::vector<std::string> damagedVariants(const std::string& packed) {
  std::vector<std::string> variants;
  for (std::size_t length = 0; length < packed.size(); ++length) {
    variants.push_back(packed.substr(0, length));
  }
  for (const kobtest::ChunkHeader& h : kobtest::parseHeaders(packed)) {
    for (std::size_t byte = 0; byte < 6; ++byte) {
      for (unsigned char mask : {0x01, 0x02, 0x80, 0xFF}) {
        std::string changed = packed;
        changed[h.offset + byte] =
            static_cast<char>(changed[h.offset + byte] ^ mask);
        variants.push_back(changed);
      }
    }
  }
  return variants;
}

struct Answers {
  std::vector<std::int64_t> values;
  std::string bytes;
  bool operator==(const Answers&) const = default;
};

void PrintTo(const Answers& answers, std::ostream* out) {
  for (std::size_t i = 0; i < answers.values.size(); ++i) {
    *out << (i % 6 == 0 ? "\n  " : " ") << answers.values[i];
  }
}

// A fixed random sequence of seeks, reads and gets, and every answer.
Answers runSequence(KobFile& reader, std::uint32_t seed, std::size_t span) {
  std::mt19937 rng(seed);
  Answers answers;
  for (int i = 0; i < 25; ++i) {
    const std::int64_t target = static_cast<std::int64_t>(rng() % span) - 5;
    // The first seek is from the start: the two readers stand elsewhere.
    const int whence = i > 0 && rng() % 2 ? 1 : 0;
    answers.values.push_back(reader.seek64(target, whence));
    unsigned char buf[40];
    const int n = reader.read(buf, rng() % sizeof buf);
    answers.values.push_back(n);
    answers.bytes.append(buf, buf + std::max(n, 0));
    answers.values.push_back(reader.get());
    answers.values.push_back(reader.tell64());
    answers.values.push_back(reader.isEOF());
    answers.values.push_back(static_cast<int>(reader.damage()));
  }
  return answers;
}

class OnePolicy : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(11);
    data = kobtest::makeData(700, rng);
    packed = kobtest::packFile(path(), data, 100, rng);
  }
  std::string path() const { return dir.path("d.kob"); }

  kobtest::TempDir dir;
  std::string data;
  std::string packed;
};

std::string where(const kob::Failure& failure) {
  return failure.describe() + " [chunk " + std::to_string(failure.chunk) +
         ", offset " + std::to_string(failure.fileOffset) + ", position " +
         std::to_string(failure.position) + "]";
}

// Reading through with KobFile, the scanner behind `kob -t`, and a
// SharedReader's read of everything: on every damaged variant they fail
// alike, naming the same damage in the same chunk at the same place.
TEST_F(OnePolicy, EveryEntryPointNamesTheSameFailureInTheSamePlace) {
  int damaged = 0;
  for (const std::string& variant : damagedVariants(packed)) {
    kobtest::writeFile(path(), variant);
    KobFile reader(path().c_str(), READ);
    if (!reader.isCompressed()) continue;  // the signature itself was cut
    unsigned char buf[64];
    while (reader.read(buf, sizeof buf) > 0) {
    }
    const kob::Failure expected = reader.failure();
    SCOPED_TRACE(testing::Message() << "variant of " << variant.size()
                                    << ": " << where(expected));
    ASSERT_EQ(expected.failed(), reader.hasError());
    ASSERT_EQ(expected.position, expected.failed() ? reader.tell64() : -1);

    const int fd = ::open(path().c_str(), O_RDONLY);
    const kob::ScanReport scan = kob::scanPacked(fd, true);
    ::close(fd);
    ASSERT_EQ(where(scan.failure), where(expected)) << "scanner";

    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    std::string all(1000, '\0');
    const kob::ReadResult got = shared.readAt(0, all.data(), all.size());
    ASSERT_EQ(where(got.failure), where(expected)) << "shared reader";
    ASSERT_EQ(all.substr(0, got.bytes), data.substr(0, got.bytes));
    if (expected.failed()) ++damaged;
  }
  EXPECT_GT(damaged, 500);
}

TEST_F(OnePolicy, AnswersDoNotDependOnWhereTheReaderHasBeen) {
  std::mt19937 rng(kobtest::testSeed("AnswersDoNotDependOnWhere"));
  int compared = 0;
  for (const std::string& variant : damagedVariants(packed)) {
    kobtest::writeFile(path(), variant);
    KobFile visited(path().c_str(), READ);
    if (!visited.isCompressed()) continue;
    // Visit a few places, learning chunks, without meeting damage.
    for (int i = 0; i < 4; ++i) {
      visited.seek64(rng() % 500, 0);
      unsigned char b[2];
      visited.read(b, rng() % 3);
    }
    if (visited.hasError()) continue;
    KobFile fresh(path().c_str(), READ);
    const std::uint32_t seed = rng();
    const Answers expected = runSequence(fresh, seed, 800);
    ASSERT_EQ(runSequence(visited, seed, 800), expected)
        << "variant of " << variant.size() << " bytes, seed " << seed;
    ++compared;
  }
  EXPECT_GT(compared, 300);
}

TEST_F(OnePolicy, ToolsAgreeOnABrokenBackLink) {
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  std::string broken = packed;
  broken[headers[4].offset + 5] ^= 0x01;
  kobtest::writeFile(path(), broken);
  const std::string kob = std::string("'") + KOB_PATH + "' ";
  const std::string in = " '" + path() + "' >/dev/null 2>&1";
  EXPECT_NE(std::system((kob + "-t" + in).c_str()), 0);
  EXPECT_NE(std::system((kob + "-d -c" + in).c_str()), 0);
  EXPECT_NE(std::system((kob + "-l" + in).c_str()), 0);
  EXPECT_EQ(std::system((kob + "-d -b 100 -s 50" + in).c_str()), 0);
}


TEST_F(OnePolicy, ChunksWithoutDataAreMetAlikeOnEveryPath) {
  std::mt19937 rng(kobtest::testSeed("ChunksWithoutDataAreMetAlike"));
  const std::size_t last = kobtest::parseHeaders(packed).size() - 1;
  const std::string good("\x11\x00\x00", 3);           // expands to nothing
  const std::string wrong("\x12\x41\x11\x00\x00", 5);  // to one byte
  const std::vector<std::vector<std::size_t>> places = {
      {0}, {3}, {last}, {0, 3, last}, {0, 0, 5}};
  for (const auto& before : places) {
    for (const std::string& payload : {good, wrong}) {
      kobtest::writeFile(path(), kobtest::withEmptyChunks(packed, before, payload));
      for (int round = 0; round < 20; ++round) {
        KobFile visited(path().c_str(), READ);
        visited.seek64(rng() % 800, 0);
        KobFile fresh(path().c_str(), READ);
        const std::uint32_t seed = rng();
        ASSERT_EQ(runSequence(visited, seed, 800),
                  runSequence(fresh, seed, 800))
            << "seed " << seed;
        // Back to the start: as after opening.
        KobFile back(path().c_str(), READ);
        KobFile opened(path().c_str(), READ);
        back.seek64(1 + rng() % 700, 0);
        back.seek64(0, 0);
        unsigned char x[200], y[200];
        ASSERT_EQ(back.read(x, sizeof x), opened.read(y, sizeof y));
        ASSERT_EQ(back.hasError(), opened.hasError());

        kob::SharedReader shared;
        ASSERT_TRUE(shared.open(path().c_str()).ok());
        const std::uint64_t at = round < 5 ? 0 : rng() % 750;
        const std::size_t len = 1 + rng() % 300;
        std::string a(len, '\0'), b(len, '\0');
        const kob::ReadResult got = shared.readAt(at, a.data(), len);
        KobFile file(path().c_str(), READ);
        int n = 0;
        if (file.seek64(static_cast<std::int64_t>(at), 0) ==
            static_cast<std::int64_t>(at)) {
          n = file.read(reinterpret_cast<unsigned char*>(b.data()),
                        static_cast<unsigned>(len));
        }
        ASSERT_EQ(got.bytes, static_cast<std::size_t>(n)) << "at " << at;
        ASSERT_EQ(a.substr(0, got.bytes), b.substr(0, got.bytes));
        ASSERT_EQ(got.ok(), !file.hasError()) << "at " << at << " len " << len;
      }
    }
  }
}

}  // namespace
