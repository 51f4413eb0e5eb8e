// SPDX-License-Identifier: GPL-2.0-or-later
// Salvage past damage a search must get through: junk between chunks,
// headers lost, chunks that look like the end; the reads it makes and the
// memory it holds while it does.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>

#include "kob_tool_fixture.h"
#include "salvage/search.h"
#include "salvage_util.h"
#include "test_util.h"

namespace {

using salvagetest::Builder;
using salvagetest::Counts;
using salvagetest::recoverBytes;
using salvagetest::Salvaged;

std::string junk(std::size_t size, std::mt19937& rng) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(rng());
  return bytes;
}

class SalvageSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(17);
    data = kobtest::makeData(120000, rng);
    packed = kobtest::packFile(dir.path("d.kob"), data, 4096, rng);
    headers = kobtest::parseHeaders(packed);
  }
  // `data` with the chunks `lost` (numbers) as zeros.
  std::string withZeros(std::initializer_list<std::size_t> lost) const {
    std::string expected = data;
    for (const std::size_t chunk : lost) {
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

// A chunk whose payload size was changed to 0 reads as the end marker, with
// bytes after it: the data does not end there. Its payload, which the
// chunk after links back to, is taken when it expands, and lost at the
// writer's size when it does not; either way what follows keeps its place.
TEST_F(SalvageSearch, AChunkMarkedAsTheEndDoesNotEndTheData) {
  for (const bool payloadToo : {false, true}) {
    SCOPED_TRACE(payloadToo ? "payload spoiled too" : "header alone");
    std::string damaged = packed;
    damaged[headers[9].offset + 2] = '\0';
    damaged[headers[9].offset + 3] = '\0';
    if (payloadToo) kobtest::spoilPayload(damaged, headers[9]);
    const Salvaged got = recoverBytes(damaged);
    ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
    if (!payloadToo) {
      EXPECT_TRUE(got.report.whole());
      EXPECT_TRUE(got.data == data) << "what came out differs";
      continue;
    }
    ASSERT_EQ(got.losses.size(), 1u);
    EXPECT_EQ(got.losses[0].why.damage, kob::Damage::DataAfterEnd);
    EXPECT_EQ(got.losses[0].chunk, 9u);
    EXPECT_TRUE(got.data == withZeros({9})) << "what came out differs";
  }
}

// An intact chunk of 65535 bytes, a damaged header, 100 KB of 0xFF (whose
// every offset reads as a header chaining to the next), an intact chunk:
// every byte is read a bounded number of times, in a few large reads.
TEST_F(SalvageSearch, JunkIsReadABoundedNumberOfTimes) {
  std::mt19937 rng(5);
  const std::string first = kobtest::makeData(65535, rng);
  const std::string second = kobtest::makeData(65535, rng);
  const std::string last = kobtest::makeData(5000, rng);
  Builder file;
  file.chunk(first);
  const std::size_t damaged = file.chunk(second);
  file.bytes[damaged + 5] ^= 0x40;  // its back-link
  file.raw(std::string(100000, '\xff'));
  file.chunk(last);
  const std::string bytes = file.end();
  Counts counts;
  const Salvaged got = recoverBytes(bytes, &counts);
  ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
  EXPECT_LE(counts.reads, 8u);
  EXPECT_LE(counts.bytes, 3 * bytes.size());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_FALSE(got.losses[0].lengthKnown);
  EXPECT_EQ(got.losses[0].fileOffset, static_cast<std::int64_t>(damaged));
  EXPECT_EQ(got.losses[0].length % 65535, 0u);  // chunks of the writer's size
  ASSERT_EQ(got.data.size(), 65535 + got.losses[0].length + last.size());
  EXPECT_TRUE(got.data.substr(0, 65535) == first);
  EXPECT_TRUE(got.data.substr(got.data.size() - last.size()) == last);
}

// A damaged first header, 2 MB of junk, one chunk of 1 byte: one loss of
// a size nobody knows (no chunk tells the writer's size), and the byte
// after it.
TEST_F(SalvageSearch, AStretchOfUnknownSizeIsOneLoss) {
  std::mt19937 rng(8);
  Builder file;
  file.raw(junk(2 << 20, rng));
  file.chunk("x");
  const Salvaged got = recoverBytes(file.end());
  ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].chunk, 0u);
  EXPECT_EQ(got.losses[0].fileOffset, kob::kFirstHeaderOffset);
  EXPECT_EQ(got.losses[0].position, 0u);
  EXPECT_EQ(got.losses[0].length, 0u);
  EXPECT_FALSE(got.losses[0].lengthKnown);
  EXPECT_FALSE(got.losses[0].toTheEnd);
  EXPECT_EQ(got.data, "x");
}

// One chunk hit in header and payload is one chunk lost, however much
// larger its payload is than the others': what follows keeps its place.
TEST_F(SalvageSearch, OneChunkLostIsOneChunkWhateverItsPayload) {
  std::mt19937 rng(21);
  auto plain = [](int i) {  // compresses to a few hundred bytes
    std::string text;
    while (text.size() < 4096) text += "harbor " + std::to_string(i * 7 + text.size() % 13) + " ";
    return text.substr(0, 4096);
  };
  Builder file;
  std::string expected;
  for (int i = 0; i < 6; ++i) {
    file.chunk(plain(i));
    expected += plain(i);
  }
  const std::size_t hit = file.chunk(junk(4096, rng));  // does not compress
  file.bytes[hit + 5] ^= 0x08;
  std::fill(file.bytes.begin() + static_cast<long>(hit + kob::kHeaderSize),
            file.bytes.end(), '\0');
  expected += std::string(4096, '\0');
  for (int i = 6; i < 9; ++i) {
    file.chunk(plain(i));
    expected += plain(i);
  }
  const Salvaged got = recoverBytes(file.end());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].chunks, 1u);
  EXPECT_TRUE(got.data == expected) << "what came out differs";
}

// Chunks counted back along the back-links from where chunks start again
// are walked to once more, not held: memory stays the same however many
// there are.
TEST_F(SalvageSearch, ChunksCountedBackAreNotHeld) {
  constexpr std::size_t kCounted = 100000;  // 2 MB if each were held
  Builder file;
  file.raw("\xf0\x0d\xf0\x0d\xf0\x0d");  // the first header, damaged
  for (std::size_t i = 0; i < kCounted; ++i) {
    const std::size_t at = file.chunk("a");
    std::fill(file.bytes.begin() + static_cast<long>(at + kob::kHeaderSize),
              file.bytes.end(), '\xff');  // a payload that expands to nothing
  }
  file.chunk("z");
  const std::string bytes = file.end();
  std::uint64_t losses = 0;
  std::uint64_t lost = 0;
  std::FILE* out = std::tmpfile();
  kob::OpenRules rules;
  kob::OpenedFile opened = kob::openSource(
      std::make_unique<salvagetest::CountingSource>(bytes, nullptr), "", rules);
  const std::size_t before = mallinfo2().uordblks;
  std::size_t most = before;
  const kob::RecoveryReport report = kob::recoverPacked(
      std::move(opened), out, [&](const kob::Loss& loss) {
        if (++losses % 1024 == 0) most = std::max(most, mallinfo2().uordblks);
        lost += loss.length;
      });
  EXPECT_EQ(salvagetest::readAll(out), std::string(kCounted, '\0') + "z");
  ASSERT_TRUE(report.failure.ok());
  EXPECT_EQ(losses, kCounted + 1);  // the first stretch, then each chunk
  EXPECT_EQ(lost, kCounted);
  EXPECT_LT(most - before, 1u << 20);
}

// A chunk without data holds nothing to lose, its payload hit or not,
// whether the walk meets it or it is counted back to.
TEST_F(SalvageSearch, AChunkWithoutDataWhosePayloadWasHitLosesNothing) {
  std::string withEmpty =
      kobtest::withEmptyChunks(packed, {5, 12}, kobtest::kEmptyPayload);
  const std::vector<kobtest::ChunkHeader> all = kobtest::parseHeaders(withEmpty);
  ASSERT_EQ(all[5].dataSize, 0u);
  ASSERT_EQ(all[13].dataSize, 0u);
  for (const std::size_t empty : {5u, 13u}) {
    withEmpty.replace(all[empty].offset + kob::kHeaderSize, 3, "\xff\xff\xff");
  }
  // The chunk before the second one loses its header and payload: the
  // chunk without data is counted back to from the chunk after it.
  withEmpty[all[12].offset + 5] ^= 0x21;
  kobtest::spoilPayload(withEmpty, all[12]);
  const Salvaged got = recoverBytes(withEmpty);
  ASSERT_TRUE(got.report.failure.ok());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].chunk, 12u);
  EXPECT_EQ(got.losses[0].length, 4096u);
  EXPECT_TRUE(got.data == withZeros({11})) << "what came out differs";
}

// The file cut inside the end marker's back-link: after damage, chunks
// start again at the last chunk, whose next header is that end marker.
TEST_F(SalvageSearch, ChunksStartAgainBeforeAnEndMarkerCutInsideItsBackLink) {
  const std::size_t chunks = headers.size() - 1;
  std::string damaged = packed.substr(0, packed.size() - 2);
  damaged[headers[chunks - 2].offset + 5] ^= 0x11;
  kobtest::spoilPayload(damaged, headers[chunks - 2]);
  const Salvaged got = recoverBytes(damaged);
  ASSERT_TRUE(got.report.failure.ok());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].chunk, chunks - 2);
  EXPECT_FALSE(got.losses[0].toTheEnd);
  EXPECT_TRUE(got.data == withZeros({chunks - 2})) << "what came out differs";
}

// A file that is junk after its signature: the rest is lost, once, in a
// few reads, also when the file has shrunk since its size was taken.
TEST_F(SalvageSearch, NothingToFindIsTheRestLostOnce) {
  std::mt19937 rng(2);
  for (const std::int64_t shrunk : {0, 1 << 20}) {
    for (const std::size_t size : {0u, 3u, 5000u, 300000u}) {
      SCOPED_TRACE(testing::Message() << size << " bytes, " << shrunk << " fewer");
      Builder file;
      file.raw(junk(size, rng));
      Counts counts;
      const Salvaged got =
          recoverBytes(file.bytes, &counts, kob::IndexChoice::none(), shrunk);
      ASSERT_TRUE(got.report.failure.ok());
      ASSERT_EQ(got.losses.size(), 1u);
      EXPECT_TRUE(got.losses[0].toTheEnd);
      EXPECT_EQ(got.data, "");
      EXPECT_LE(counts.reads, 8u);
    }
  }
}

// A chunk of the largest size whose header lies just past the offsets the
// first window can test whole is tested in the next.
TEST_F(SalvageSearch, AChunkAtTheWindowsEdgeIsFound) {
  std::mt19937 rng(12);
  // Random bytes that compress to a payload of exactly 65535 bytes.
  std::string incompressible = junk(65535, rng);
  kob::initCompression();
  std::vector<unsigned char> scratch(kob::worstCaseCompressedSize(65535));
  std::size_t size = 60000;
  for (std::uint32_t payload = 0; size <= 65535; ++size) {
    kob::compressOnce(reinterpret_cast<const unsigned char*>(incompressible.data()),
                      static_cast<std::uint32_t>(size), kob::kFastestLevel,
                      scratch.data(), kob::threadWorkMemory(), payload);
    if (payload == kob::kMaxFieldValue) break;
    if (payload < kob::kMaxFieldValue - 64) size += kob::kMaxFieldValue - 64 - payload;
  }
  ASSERT_LE(size, 65535u);
  incompressible.resize(size);
  Builder file;
  file.chunk(kobtest::makeData(65535, rng));
  const std::size_t damaged = file.bytes.size();
  file.raw(std::string(6, '\xff'));
  // The first window starts a byte after the damaged header.
  const std::size_t edge = damaged + 1 + kob::kSearchWindow - kob::kLargestRecord + 1;
  file.raw(std::string(edge - file.bytes.size(), '\0'));
  ASSERT_EQ(file.chunk(incompressible, kob::kFastestLevel), edge);
  // After it a chunk that cannot be found: only the one at the edge can.
  const std::size_t last = file.chunk("the last chunk");
  std::fill(file.bytes.begin() + static_cast<long>(last + kob::kHeaderSize),
            file.bytes.end(), '\xff');
  const Salvaged got = recoverBytes(file.end());
  ASSERT_TRUE(got.report.failure.ok());
  ASSERT_EQ(got.losses.size(), 2u);
  EXPECT_FALSE(got.losses[0].toTheEnd);
  EXPECT_TRUE(got.losses[1].lengthKnown);
  EXPECT_NE(got.data.find(incompressible), std::string::npos);
}

// Bytes after the end marker that hold no chunk: the data ended there, and
// nothing is lost. A chunk after them is found, and the stretch lost.
TEST_F(SalvageSearch, BytesAfterTheEndMarkerAreNoLossUnlessChunksFollow) {
  std::mt19937 rng(4);
  const Salvaged padded = recoverBytes(packed + std::string(5000, '\0'));
  ASSERT_TRUE(padded.report.failure.ok());
  EXPECT_TRUE(padded.report.whole());
  EXPECT_TRUE(padded.data == data);
  Builder file;
  file.chunk(data.substr(0, 4096));
  file.marker();
  file.raw(junk(3000, rng));
  file.chunk(data.substr(4096, 4096));
  const Salvaged got = recoverBytes(file.end());
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].why.damage, kob::Damage::DataAfterEnd);
  EXPECT_EQ(got.losses[0].length, 4096u);  // the writer's size, inferred
  EXPECT_TRUE(got.data == data.substr(0, 4096) + std::string(4096, '\0') +
                              data.substr(4096, 4096));
}

// Two members, the bytes between them damaged, or junk between two
// chunks: a stretch too short for a header and a payload, or one that only
// an end marker and a signature fill before a member's first chunk (a
// back-link of 0), hides no chunk. The data is written back to back and
// the damage said, nothing lost. A stretch that can hold one chunk more (of
// one byte: 11 bytes) is a loss, as anywhere.
TEST_F(SalvageSearch, DamageAtTheSeamOfTwoMembersLosesNothingItCannotHold) {
  const std::string as(100, 'A'), bs(100, 'B'), whole = as + "C" + bs;
  Builder first, second;
  first.chunk(as);
  const std::size_t c = first.chunk("C");
  second.chunk(bs);
  const std::string a = first.end(), b = second.end();
  const std::string signature = b.substr(0, 6), junk(23, '\x5A');
  const std::size_t marker = a.size() - 6;
  const std::string lost = as + std::string(100, '\0');  // the writer's size
  const struct Seam {
    const char* what;
    std::string file;
    std::string expected;
    std::uint64_t at;  // where the damage lies in the data
  } seams[] = {
      {"the second's signature lost", a + std::string(6, '\0') + b.substr(6), whole, 101},
      {"the second's signature cut out", a + b.substr(6), whole, 101},
      {"the first's end marker lost", a.substr(0, marker) + junk.substr(0, 6) + b, whole, 101},
      {"the first's end marker cut out", a.substr(0, marker) + b, whole, 101},
      {"a signature doubled", a + signature + b, whole, 101},
      {"a signature doubled at the start", signature + a + b, whole, 0},
      {"the first's end marker lost, a signature doubled",
       a.substr(0, marker) + junk.substr(0, 6) + signature + b, whole, 101},
      {"ten bytes of junk", a.substr(0, c) + junk.substr(0, 10) + a.substr(c) + b, whole, 100},
      {"eleven bytes of junk", a.substr(0, c) + junk.substr(0, 11) + a.substr(c) + b,
       lost + "C" + bs, 100},
      {"the first's last chunk lost with the seam", a.substr(0, c) + junk + b.substr(6),
       lost + bs, 100},
  };
  for (const Seam& seam : seams) {
    SCOPED_TRACE(seam.what);
    const Salvaged got = recoverBytes(seam.file);
    ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
    EXPECT_EQ(got.data, seam.expected);
    const bool isLoss = seam.expected != whole;
    ASSERT_EQ(got.losses.size() + got.withoutLoss.size(), 1u);
    const kob::Loss& said = isLoss ? got.losses.at(0) : got.withoutLoss.at(0);
    EXPECT_EQ(said.kind, isLoss ? kob::Loss::Kind::Lost : kob::Loss::Kind::Passed);
    EXPECT_EQ(said.position, seam.at);
    EXPECT_NE(said.why.damage, kob::Damage::None);
  }
}

// An output that cannot be written stops the salvage, and says so.
TEST_F(SalvageSearch, AWriteThatFailsStopsIt) {
  std::string damaged = packed;
  kobtest::spoilPayload(damaged, headers[3]);
  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  kob::OpenRules rules;
  const kob::RecoveryReport report = kob::recoverPacked(
      kob::openSource(std::make_unique<salvagetest::CountingSource>(damaged, nullptr),
                      "", rules),
      full);
  std::fclose(full);
  EXPECT_EQ(report.failure.error, ENOSPC);
  EXPECT_EQ(report.failure.action, kob::Failure::Action::Writing);
  EXPECT_EQ(report.dataWritten, 0u);
}

using SalvageTool = kobtest::KobTool;

// The tool says one line for a stretch of unknown size, and holds little.
TEST_F(SalvageTool, AStretchOfUnknownSizeIsOneLine) {
  std::mt19937 rng(8);
  Builder file;
  file.raw(junk(2 << 20, rng));
  file.chunk("x");
  kobtest::writeFile(path("j.kob"), file.end());
  const Result got = shell(std::string("'") + PEAK_MEMORY_PATH + "' peak '" +
                           KOB_PATH + "' --recover j.kob");
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.errors,
            "kob: j.kob: chunk 0 at offset 6: data of unknown size lost at "
            "byte 0, none written in its place: back-link does not match the "
            "chunk before\n");
  EXPECT_EQ(kobtest::readFile(path("j")), "x");
  EXPECT_LT(std::stol(kobtest::readFile(path("peak"))), 32 * 1024);
}

// The last chunk's payload lost: its size is known where its header claims
// no more than the largest chunk met, and inferred (the largest) beyond.
TEST_F(SalvageSearch, TheLastChunkLostIsKnownUpToTheLargestChunkMet) {
  std::mt19937 rng(41);
  for (const auto& [lastSize, claimed, length, known] :
       {std::tuple{1000u, 1000u, 1000u, true}, std::tuple{400u, 400u, 400u, true},
        std::tuple{1000u, 2000u, 1000u, false}}) {
    SCOPED_TRACE(testing::Message() << lastSize << " claimed as " << claimed);
    Builder file;
    file.chunk(kobtest::makeData(1000, rng));
    file.chunk(kobtest::makeData(1000, rng));
    const std::size_t last = file.chunk(kobtest::makeData(lastSize, rng));
    std::string bytes = file.end();
    auto* header = reinterpret_cast<unsigned char*>(bytes.data()) + last;
    kob::encodeHeader(header, claimed, kob::decodeUInt2(header + 2), kob::decodeUInt2(header + 4));
    std::fill(bytes.begin() + static_cast<long>(last + kob::kHeaderSize),
              bytes.end() - static_cast<long>(kob::kHeaderSize), '\xff');
    const Salvaged got = recoverBytes(bytes);
    ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
    ASSERT_EQ(got.losses.size(), 1u);
    EXPECT_EQ(got.losses[0].length, length);
    EXPECT_EQ(got.losses[0].lengthKnown, known);
    EXPECT_EQ(got.data.size(), 2000u + length);
  }
}

// Past a broken header, what looks like a chunk holding more than any
// chunk met (here a packed file's bytes in the junk) is not where the
// writer's chunks start again: the search goes on to one that could be.
TEST_F(SalvageSearch, AChunkLargerThanAnyMetIsNotWhereChunksStartAgain) {
  std::mt19937 rng(43);
  const std::string first = kobtest::makeData(1000, rng);
  const std::string larger = kobtest::makeData(3000, rng);
  const std::string last = kobtest::makeData(1000, rng);
  Builder other;
  other.chunk(larger);
  const std::string lookalike = other.end().substr(sizeof kob::kSignature);
  Builder file;
  file.chunk(first);
  const std::size_t damaged = file.bytes.size();
  file.raw(std::string(200, '\xff') + lookalike + std::string(200, '\xff'));
  file.chunk(last);
  const Salvaged got = recoverBytes(file.end());
  ASSERT_TRUE(got.report.failure.ok()) << got.report.failure.describe();
  ASSERT_EQ(got.losses.size(), 1u);
  EXPECT_EQ(got.losses[0].fileOffset, static_cast<std::int64_t>(damaged));
  EXPECT_EQ(got.data.find(larger), std::string::npos);
  EXPECT_TRUE(got.data.substr(0, 1000) == first);
  EXPECT_TRUE(got.data.substr(got.data.size() - 1000) == last);
}

}  // namespace
