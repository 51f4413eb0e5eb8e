// SPDX-License-Identifier: GPL-2.0-or-later
// Salvage of damaged packed files: every intact chunk's data where it
// belongs, every lost chunk as zeros and one report, with or without the
// saved index.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "kob_pack.h"
#include "kob_tool_fixture.h"
#include "test_util.h"

namespace {

using kobtest::readFile;
using kobtest::writeFile;

struct Salvaged {
  kob::RecoveryReport report;
  std::vector<kob::Loss> losses;
  std::vector<kob::Loss> withoutLoss;  // damage that lost nothing
  std::string data;
};

Salvaged salvage(const std::string& path, bool withIndex) {
  Salvaged out;
  const std::string into = path + ".out";
  std::FILE* file = std::fopen(into.c_str(), "wb");
  const int fd = ::open(path.c_str(), O_RDONLY);
  const std::string index = kob::indexPathFor(path);
  out.report = kob::recoverPacked(
      fd, withIndex ? index.c_str() : nullptr, file,
      [&](const kob::Loss& loss) {
        (loss.kind == kob::Loss::Kind::Lost ? out.losses : out.withoutLoss).push_back(loss);
      });
  ::close(fd);
  std::fclose(file);
  out.data = kobtest::readFile(into);
  return out;
}

class Recover : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(41);
    data = kobtest::makeData(200000, rng);
    packed = kobtest::packFile(path(), data, 4096, rng);
    headers = kobtest::parseHeaders(packed);
  }
  std::string path() const { return dir.path("d.kob"); }
  void saveIndex() {
    const int fd = ::open(path().c_str(), O_RDONLY);
    std::FILE* out = std::fopen(kob::indexPathFor(path()).c_str(), "wb");
    ASSERT_TRUE(kob::writeIndex(fd, out).ok());
    std::fclose(out);
    ::close(fd);
    chmod(kob::indexPathFor(path()).c_str(), 0644);
  }
  // `data` with chunks `lost` (numbers) as zeros.
  std::string withZeros(std::initializer_list<std::size_t> lost) const {
    std::string expected = data;
    for (std::size_t chunk : lost) {
      const std::size_t from = 4096 * chunk;
      const std::size_t length = std::min<std::size_t>(4096, data.size() - from);
      expected.replace(from, length, std::string(length, '\0'));
    }
    return expected;
  }

  kobtest::TempDir dir;
  std::string data;
  std::string packed;
  std::vector<kobtest::ChunkHeader> headers;
};

TEST_F(Recover, AWholeFileComesOutWhole) {
  const Salvaged got = salvage(path(), false);
  EXPECT_TRUE(got.report.whole());
  EXPECT_EQ(got.data, data);
}

TEST_F(Recover, APayloadThatFailsIsLostAtItsOwnSize) {
  std::string damaged = packed;
  kobtest::spoilPayload(damaged, headers[7]);
  kobtest::writeFile(path(), damaged);
  const Salvaged got = salvage(path(), false);
  EXPECT_FALSE(got.report.whole());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].chunk, 7u);
  EXPECT_EQ(got.losses[0].fileOffset,
            static_cast<std::int64_t>(headers[7].offset));
  EXPECT_EQ(got.losses[0].position, 7u * 4096);
  EXPECT_EQ(got.losses[0].length, 4096u);
  EXPECT_TRUE(got.losses[0].lengthKnown);
  EXPECT_EQ(got.data, withZeros({7}));
}

// A lost payload behind a data size that was hit too: the chunk is lost at
// the writer's chunk size, so what follows keeps its place, for the first
// chunk as for one further on.
TEST_F(Recover, ALostChunksDamagedSizeDoesNotMoveTheDataAfterIt) {
  for (const std::size_t number : {0u, 7u}) {
    SCOPED_TRACE(testing::Message() << "chunk " << number);
    std::string damaged = packed;
    kobtest::spoilPayload(damaged, headers[number]);
    damaged[headers[number].offset] ^= 0x12;  // 4096 claimed as 512
    kobtest::writeFile(path(), damaged);
    const Salvaged got = salvage(path(), false);
    ASSERT_EQ(got.losses.size(), 1u);
    EXPECT_EQ(got.losses[0].length, 4096u);
    EXPECT_TRUE(got.data == withZeros({number}));
  }
}

// A header that cannot be read: the walk finds the chunks after it again.
// A header whose fields alone were hit loses nothing: the chunk after it
// links back to a payload that fills the stretch, and that payload says
// what it holds. One whose payload was hit too is lost, taken to be of the
// writer's chunk size.
TEST_F(Recover, PastABrokenHeaderTheChunksAfterAreFoundAgain) {
  for (const std::size_t byte : {0u, 2u, 5u}) {
    for (const bool payloadToo : {false, true}) {
      SCOPED_TRACE(testing::Message() << "header byte " << byte
                                      << (payloadToo ? " and payload" : ""));
      std::string damaged = packed;
      damaged[headers[12].offset + byte] ^= 0x5A;
      if (payloadToo) kobtest::spoilPayload(damaged, headers[12]);
      kobtest::writeFile(path(), damaged);
      const Salvaged got = salvage(path(), false);
      ASSERT_TRUE(got.report.failure.ok());
      if (!payloadToo) {
        EXPECT_TRUE(got.losses.empty());
        ASSERT_EQ(got.withoutLoss.size(), 1u);  // but said
        EXPECT_EQ(got.withoutLoss[0].kind, kob::Loss::Kind::HeaderMended);
        EXPECT_EQ(got.withoutLoss[0].chunk, 12u);
        EXPECT_EQ(got.withoutLoss[0].position, 12u * 4096);
        EXPECT_TRUE(got.data == data) << "what came out differs";
        continue;
      }
      ASSERT_EQ(got.losses.size(), 1u);
      EXPECT_EQ(got.losses[0].chunk, 12u);
      EXPECT_EQ(got.losses[0].length, 4096u);
      EXPECT_TRUE(got.data == withZeros({12})) << "what came out differs";
    }
  }
}

// Three chunks in a row: the first header and payload broken, the next two
// payloads spoiled. Those whose headers still read are counted back along
// the back-links from where chunks read again, each lost at its own size;
// the first is taken to be of the writer's chunk size.
TEST_F(Recover, ChunksLostTogetherAreCountedBackAlongTheirLinks) {
  std::string damaged = packed;
  damaged[headers[20].offset + 5] ^= 0x33;  // its back-link
  for (const std::size_t chunk : {20u, 21u, 22u}) {
    kobtest::spoilPayload(damaged, headers[chunk]);
  }
  kobtest::writeFile(path(), damaged);
  const Salvaged got = salvage(path(), false);
  ASSERT_EQ(got.losses.size(), 3u);
  EXPECT_FALSE(got.losses[0].lengthKnown);  // the writer's chunk size
  EXPECT_EQ(got.losses[0].chunk, 20u);
  for (const std::size_t i : {1u, 2u}) {
    EXPECT_TRUE(got.losses[i].lengthKnown);  // its header still says
    EXPECT_EQ(got.losses[i].chunk, 20u + i);
    EXPECT_EQ(got.losses[i].fileOffset,
              static_cast<std::int64_t>(headers[20 + i].offset));
  }
  EXPECT_TRUE(got.data == withZeros({20, 21, 22})) << "what came out differs";
}

TEST_F(Recover, AFileCutShortGivesWhatComesBeforeTheCut) {
  kobtest::writeFile(path(), packed.substr(0, headers[30].offset + 100));
  const Salvaged got = salvage(path(), false);
  ASSERT_FALSE(got.losses.empty());
  EXPECT_FALSE(got.losses.back().lengthKnown);
  EXPECT_EQ(got.data, data.substr(0, 30 * 4096));
}

// With a valid index every chunk's place is known from it; a stale one is
// not used, and the walk saves what it can.
TEST_F(Recover, TheIndexPlacesEveryChunkWhenItIsValid) {
  saveIndex();
  const Salvaged whole = salvage(path(), true);
  EXPECT_TRUE(whole.report.usedIndex);
  EXPECT_TRUE(whole.report.whole());
  EXPECT_EQ(whole.data, data);
  std::string damaged = packed;
  kobtest::spoilPayload(damaged, headers[9]);
  kobtest::writeFile(path(), damaged);  // which makes the index stale
  const Salvaged walked = salvage(path(), true);
  EXPECT_FALSE(walked.report.usedIndex);
  EXPECT_EQ(walked.data, withZeros({9}));
}

// Whatever the damage a reader can detect without checksums (spoiled
// payloads, changed headers, a cut), what comes out is the data where
// chunks are intact and zeros where they were lost, and the report says
// which is which.
TEST_F(Recover, AnyDamageGivesIntactBytesOrZerosAndSaysWhichAreWhich) {
  std::mt19937 rng(kobtest::testSeed("AnyDamageGivesIntactBytesOrZeros"));
  for (int round = 0; round < kobtest::testRounds(60); ++round) {
    std::string damaged = packed;
    const int changes = 1 + static_cast<int>(rng() % 4);
    testing::Message done;
    for (int i = 0; i < changes; ++i) {
      const std::size_t number = rng() % (headers.size() - 1);
      const kobtest::ChunkHeader& chunk = headers[number];
      if (rng() % 2) {
        kobtest::spoilPayload(damaged, chunk);
        done << " payload of chunk " << number << " zeroed;";
      } else {
        const std::size_t at = chunk.offset + rng() % 6;
        const int flip = static_cast<int>(1 + rng() % 255);
        damaged[at] = static_cast<char>(damaged[at] ^ flip);
        done << " header byte " << at - chunk.offset << " of chunk " << number
             << " ^" << flip << ";";
      }
    }
    if (rng() % 4 == 0) {
      damaged.resize(rng() % damaged.size());
      done << " cut to " << damaged.size();
    }
    SCOPED_TRACE(done);
    kobtest::writeFile(path(), damaged);
    const Salvaged got = salvage(path(), false);
    SCOPED_TRACE(testing::Message() << "round " << round);
    ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
    std::vector<bool> zeroed(got.data.size(), false);
    // Positions hold up to the first loss whose size was not known.
    std::uint64_t trusted = got.data.size();
    for (const kob::Loss& loss : got.losses) {
      if (!loss.lengthKnown) trusted = std::min(trusted, loss.position);
      for (std::uint64_t p = loss.position;
           p < loss.position + loss.length && p < zeroed.size(); ++p) {
        zeroed[p] = true;
        ASSERT_EQ(got.data[p], '\0') << "a lost byte at " << p;
      }
    }
    for (std::uint64_t p = 0; p < trusted && p < data.size(); ++p) {
      if (!zeroed[p] && got.data[p] != data[p]) {
        FAIL() << "a byte served wrong at " << p;
      }
    }
    EXPECT_EQ(got.report.whole(), got.data == data);
  }
}

using RecoverTool = kobtest::KobTool;

TEST_F(RecoverTool, KeepsWhatItSavedNamesEachLossAndExitsOne) {
  const std::string data = makeInput("d", 100000);
  ASSERT_EQ(kob("-B 4096 --no-seal d").status, 0);
  std::filesystem::rename(path("d"), path("d.orig"));
  std::string packed = readFile(path("d.kob"));
  const std::vector<kobtest::ChunkHeader> headers =
      kobtest::parseHeaders(packed);
  kobtest::spoilPayload(packed, headers[5]);
  writeFile(path("d.kob"), packed);
  const Result recovered = kob("--recover d.kob");
  EXPECT_EQ(recovered.status, 1);
  EXPECT_EQ(recovered.errors,
            "kob: d.kob: chunk 5 at offset " +
                std::to_string(headers[5].offset) +
                ": data from byte 20480 to 24576 lost, written as zeros: "
                "payload rejected by the decompressor\n");
  std::string expected = data;
  expected.replace(20480, 4096, std::string(4096, '\0'));
  EXPECT_EQ(readFile(path("d")), expected);
  EXPECT_EQ(kob("--recover -c d.kob").out, expected);
  // A whole file recovers whole, with nothing to say.
  ASSERT_EQ(kob("-f -B 4096 d.orig -o whole.kob").status, 0);
  const Result whole = kob("--recover -c whole.kob");
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(whole.errors, "");
  // A header hit alone loses nothing, which is said in one line.
  std::string hit = readFile(path("whole.kob"));
  hit[headers[2].offset + 5] ^= 1;
  writeFile(path("hit.kob"), hit);
  const Result mended = kob("--recover -c hit.kob");
  EXPECT_EQ(mended.status, 0);
  EXPECT_EQ(mended.out, data);
  EXPECT_EQ(mended.errors, "kob: hit.kob: chunk 2 at offset " +
                               std::to_string(headers[2].offset) +
                               ": header mended, its data taken whole from its "
                               "payload: back-link does not match the chunk before\n");
  EXPECT_EQ(kob("--recover --rm d.kob").status, 1);  // a usage error
  EXPECT_TRUE(kobtest::fileExists(path("d.kob")));
}

}  // namespace
