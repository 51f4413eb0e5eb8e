// SPDX-License-Identifier: GPL-2.0-or-later
// Salvage by a saved index: one that describes the file places every chunk
// and checks every payload against its checksum; one that is only a hint
// places the chunks until the file disagrees with it, and never has an
// intact chunk written as zeros. Also over HTTP, through the same source.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "index/chunk_index.h"
#include "index/saved_index.h"
#include "kob_index.h"
#include "salvage_util.h"
#include "test_util.h"
#if KOB_HTTP_BUILT
#include "http_server.h"
#endif

namespace {

using salvagetest::Counts;
using salvagetest::recoverBytes;
using salvagetest::Salvaged;

// Changes a byte in the payload of the chunk `header` so that it still
// expands to its size, to other data: the chunk as rewritten since its
// index was saved. Returns whether some byte did.
bool rewriteExpanding(std::string& packed, const kobtest::ChunkHeader& header) {
  std::vector<unsigned char> before(header.dataSize);
  std::vector<unsigned char> after(header.dataSize);
  auto* payload =
      reinterpret_cast<unsigned char*>(&packed[header.offset + kob::kHeaderSize]);
  if (kob::expandPayload(payload, header.payloadSize, before.data(),
                         header.dataSize) != kob::Damage::None) {
    return false;
  }
  for (std::uint32_t i = header.payloadSize / 2; i + 3 < header.payloadSize; ++i) {
    payload[i] ^= 0x01;
    if (kob::expandPayload(payload, header.payloadSize, after.data(),
                           header.dataSize) == kob::Damage::None &&
        after != before) {
      return true;
    }
    payload[i] ^= 0x01;
  }
  return false;
}

class SalvageByIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(29);
    data = kobtest::makeData(150000, rng);
    packed = kobtest::packFile(dir.path("d.kob"), data, 4096, rng);
    headers = kobtest::parseHeaders(packed);
    const int fd = ::open(dir.path("d.kob").c_str(), O_RDONLY);
    std::FILE* out = std::fopen(indexPath().c_str(), "wb");
    ASSERT_TRUE(kob::writeIndex(fd, out).ok());
    std::fclose(out);
    ::close(fd);
  }
  std::string indexPath() const { return dir.path("d.kob.kbi"); }

  // Salvages `bytes` by the index of the file as packed, trusted as `state`
  // says (Valid: it describes the file; Unverified: a hint).
  Salvaged byIndex(const std::string& bytes, kob::IndexState state) {
    kob::MemorySource sized(bytes);
    kob::ChunkIndex loaded;
    bool checksums = false;
    // Bytes in memory have no identity to match: the index is taken up as a
    // hint, and trusted here as `state` says.
    EXPECT_EQ(kob::loadIndex(sized, indexPath(), loaded, &checksums),
              kob::IndexState::Unverified);
    EXPECT_TRUE(checksums);
    kob::SalvageIndex index;
    index.saved = loaded.releaseSaved();
    index.state = state;
    Salvaged got;
    std::FILE* out = std::tmpfile();
    got.report = kob::salvagePacked(
        std::make_unique<salvagetest::CountingSource>(bytes, nullptr),
        static_cast<std::int64_t>(bytes.size()), std::move(index), out,
        [&](const kob::Loss& loss) {
          (loss.kind == kob::Loss::Kind::Lost ? got.losses : got.withoutLoss).push_back(loss);
        });
    got.data = salvagetest::readAll(out);
    return got;
  }

  kobtest::TempDir dir;
  std::string data;
  std::string packed;
  std::vector<kobtest::ChunkHeader> headers;
};

// A payload rewritten so that it still expands, to other data: an index
// that describes the file says it is damage, and it is lost; a hint is
// what is stale, and the chunk is taken as the file has it.
TEST_F(SalvageByIndex, APayloadThatDisagreesWithItsChecksum) {
  std::string rewritten = packed;
  ASSERT_TRUE(rewriteExpanding(rewritten, headers[11]));
  const std::string now = kobtest::decodeIndependently(rewritten);
  const Salvaged verified = byIndex(rewritten, kob::IndexState::Valid);
  EXPECT_TRUE(verified.report.usedIndex);
  ASSERT_EQ(verified.losses.size(), 1u);
  EXPECT_EQ(verified.losses[0].chunk, 11u);
  EXPECT_EQ(verified.losses[0].why.damage, kob::Damage::ChecksumMismatch);
  std::string zeroed = data;
  zeroed.replace(11 * 4096, 4096, std::string(4096, '\0'));
  EXPECT_TRUE(verified.data == zeroed) << "what came out differs";

  const Salvaged hinted = byIndex(rewritten, kob::IndexState::Unverified);
  EXPECT_TRUE(hinted.report.whole());
  EXPECT_FALSE(hinted.report.usedIndex);  // given up at chunk 11
  EXPECT_TRUE(hinted.data == now) << "what came out differs";

  // A hint taken up by the front: an index for a file elsewhere.
  const Salvaged front = recoverBytes(rewritten, nullptr,
                                      kob::IndexChoice::at(indexPath()));
  EXPECT_TRUE(front.report.whole());
  EXPECT_TRUE(front.data == now) << "what came out differs";
}

// A header whose fields were hit, its payload intact: by an index that
// describes the file the payload is found where it places it and matches
// its checksum; by a hint the file is read as it is from there. Neither
// loses anything, nor do they when the index agrees with the file.
TEST_F(SalvageByIndex, AHeaderHitAloneLosesNothing) {
  for (const kob::IndexState state :
       {kob::IndexState::Valid, kob::IndexState::Unverified}) {
    for (const std::size_t byte : {0u, 1u, 2u, 3u, 5u, 6u}) {
      SCOPED_TRACE(testing::Message()
                   << kob::describe(state) << ", header byte " << byte);
      std::string damaged = packed;
      if (byte < kob::kHeaderSize) damaged[headers[7].offset + byte] ^= 0x24;
      const Salvaged got = byIndex(damaged, state);
      ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
      EXPECT_TRUE(got.losses.empty());
      // A header hit is said, once, where the file has one.
      EXPECT_EQ(got.withoutLoss.size(), byte < kob::kHeaderSize ? 1u : 0u);
      EXPECT_TRUE(got.data == data) << "what came out differs";
      EXPECT_EQ(got.report.usedIndex,
                state == kob::IndexState::Valid || byte == kob::kHeaderSize);
    }
  }
}

// Whatever the damage, what comes out by a hint is each chunk's data as the
// file now has it where the chunk is intact, zeros where it was lost, and
// never zeros for a chunk whose header and payload are both intact.
TEST_F(SalvageByIndex, AnyDamageUnderAHintNeverZeroesAnIntactChunk) {
  std::mt19937 rng(kobtest::testSeed("AnyDamageUnderAHintNeverZeroesAnIntactChunk"));
  for (int round = 0; round < kobtest::testRounds(30); ++round) {
    std::string damaged = packed;
    std::vector<bool> hit(headers.size(), false);
    testing::Message done;
    for (int i = 0, changes = 1 + static_cast<int>(rng() % 4); i < changes; ++i) {
      const std::size_t number = rng() % (headers.size() - 1);
      const int kind = static_cast<int>(rng() % 3);
      if (kind == 0 && rewriteExpanding(damaged, headers[number])) {
        done << " chunk " << number << " rewritten;";
        continue;
      }
      hit[number] = true;
      if (kind == 1) {
        kobtest::spoilPayload(damaged, headers[number]);
        done << " payload of chunk " << number << " zeroed;";
      } else {
        damaged[headers[number].offset + rng() % 6] ^=
            static_cast<char>(1 + rng() % 255);
        done << " a header byte of chunk " << number << " changed;";
      }
    }
    SCOPED_TRACE(done);
    // What each chunk holds now, where its payload still expands.
    std::string now = data;
    for (std::size_t n = 0; n + 1 < headers.size(); ++n) {
      std::vector<unsigned char> chunk(headers[n].dataSize);
      if (kob::expandPayload(reinterpret_cast<const unsigned char*>(
                                 &damaged[headers[n].offset + kob::kHeaderSize]),
                             headers[n].payloadSize, chunk.data(),
                             headers[n].dataSize) == kob::Damage::None) {
        now.replace(4096 * n, chunk.size(),
                    reinterpret_cast<const char*>(chunk.data()), chunk.size());
      }
    }
    const Salvaged got = byIndex(damaged, kob::IndexState::Unverified);
    ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
    std::uint64_t trusted = got.data.size();
    for (const kob::Loss& loss : got.losses) {
      if (!loss.lengthKnown) trusted = std::min(trusted, loss.position);
    }
    for (std::size_t n = 0; n + 1 < headers.size(); ++n) {
      const std::size_t from = 4096 * n;
      if (from >= trusted) break;
      const std::size_t length = headers[n].dataSize;
      const std::string came = got.data.substr(from, length);
      // Intact, with intact chunks around it: it is walked to or found.
      const bool intact = !hit[n] && (n == 0 || !hit[n - 1]) && !hit[n + 1];
      if (came != now.substr(from, length)) {
        EXPECT_FALSE(intact) << "intact chunk " << n << " not taken";
        EXPECT_EQ(came, std::string(came.size(), '\0')) << "chunk " << n;
      }
    }
  }
}

#if KOB_HTTP_BUILT

class HttpSalvage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << server.why();
  }
  kobtest::Nginx server;
};

// Past a damaged header and 300 KB of 0xFF, a file elsewhere is read in a
// few ranged requests; a stale index beside it is a hint.
TEST_F(HttpSalvage, JunkCostsAFewRequestsAndAnIndexIsAHint) {
  std::mt19937 rng(6);
  const std::string first = kobtest::makeData(65535, rng);
  const std::string last = kobtest::makeData(3000, rng);
  salvagetest::Builder file;
  file.chunk(first);
  const std::size_t damaged = file.chunk(kobtest::makeData(65535, rng));
  file.bytes[damaged + 4] ^= 0x40;
  file.raw(std::string(300000, '\xff'));
  file.chunk(last);
  kobtest::writeFile(server.data("j.kob"), file.end());
  std::FILE* out = std::tmpfile();
  const std::size_t before = server.settledCount();
  kob::RecoveryReport report = kob::recoverPacked(server.url("j.kob"), out);
  const std::string got = salvagetest::readAll(out);
  ASSERT_TRUE(report.failure.ok()) << report.failure.describe();
  EXPECT_LE(server.settledCount() - before, 12u);
  EXPECT_EQ(report.losses, got.size() / 65535 - 1);
  EXPECT_TRUE(got.substr(0, 65535) == first);
  EXPECT_TRUE(got.substr(got.size() - last.size()) == last);

  // A payload rewritten since its index beside it was saved.
  std::mt19937 again(3);
  const std::string data = kobtest::makeData(50000, again);
  kobtest::packFile(server.data("t.kob"), data, 4096, again);
  const int packedFd = ::open(server.data("t.kob").c_str(), O_RDONLY);
  std::FILE* index = std::fopen(server.data("t.kob.kbi").c_str(), "wb");
  ASSERT_TRUE(kob::writeIndex(packedFd, index).ok());
  std::fclose(index);
  ::close(packedFd);
  std::string packed = kobtest::readFile(server.data("t.kob"));
  ASSERT_TRUE(rewriteExpanding(packed, kobtest::parseHeaders(packed)[4]));
  kobtest::writeFile(server.data("t.kob"), packed);
  out = std::tmpfile();
  report = kob::recoverPacked(server.url("t.kob"), out);
  EXPECT_TRUE(report.whole()) << report.failure.describe();
  EXPECT_TRUE(salvagetest::readAll(out) == kobtest::decodeIndependently(packed));
}

#endif

}  // namespace
