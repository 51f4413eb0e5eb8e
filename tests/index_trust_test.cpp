// SPDX-License-Identifier: GPL-2.0-or-later
// What a reader believes of a saved index: the chain of milestones from
// block 0 and the file's own last block before a block is used; a copy's
// index, or one of another file of the same size, only as a hint; nothing
// held for what an index claims before its bytes arrive; nothing per chunk
// without data; an index kept anywhere.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include "index/saved_index.h"
#include "index_bytes.h"
#include "kob.h"
#include "kob_file_peer.h"
#include "kob_index.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "source/source.h"
#include "test_util.h"

namespace {

using kobtest::getBig;
using kobtest::IndexLayout;
using kobtest::resealed;
using kobtest::saveIndexOf;
using kobtest::setBig;

std::string readRange(const std::string& path, std::int64_t at,
                      std::size_t length, bool partial = false) {
  KobFile reader;
  reader.setPartialDecoding(partial);
  if (!reader.open(path.c_str(), READ) || reader.seek64(at, 0) != at) {
    return "(no seek)";
  }
  std::string out(length, '\0');
  const int got = reader.read(reinterpret_cast<unsigned char*>(out.data()),
                              static_cast<unsigned>(length));
  out.resize(static_cast<std::size_t>(std::max(got, 0)));
  return out;
}

std::string sharedRange(const std::string& path, std::uint64_t at,
                        std::size_t length, bool partial = false) {
  kob::SharedReader reader;
  reader.setPartialDecoding(partial);
  if (!reader.open(path.c_str()).ok()) return "(not open)";
  std::string out(length, '\0');
  const kob::ReadResult got = reader.readAt(at, out.data(), length);
  out.resize(got.bytes);
  return out;
}

// ---------------------------------------------------------------------------
// The chain of milestones

class IndexChain : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(41);
    data = kobtest::makeData(2000000, rng);
    kobtest::packFile(path(), data, 256, rng);
    ASSERT_TRUE(saveIndexOf(path()).ok());
    saved = kobtest::readFile(index());
    ASSERT_GT(saved.size(), 65536u) << "more than its first read brings";
  }
  std::string path() const { return dir.path("d.kob"); }
  std::string index() const { return kob::indexPathFor(path()); }
  void expectReadRight(const char* what) {
    SCOPED_TRACE(what);
    KobFile reader(path().c_str(), READ);
    EXPECT_EQ(reader.seek64(std::int64_t{1} << 40, 0), 2000000);
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    EXPECT_EQ(shared.size(), 2000000);
    for (std::int64_t at : {1999400, 1990000, 1000000, 100}) {
      for (bool partial : {false, true}) {
        EXPECT_EQ(readRange(path(), at, 600, partial), data.substr(at, 600))
            << at;
        EXPECT_EQ(sharedRange(path(), at, 600, partial),
                  data.substr(at, 600))
            << at;
      }
    }
    const kob::ScanReport scan = kob::scanPacked(path(), true);
    EXPECT_TRUE(scan.ok());
    EXPECT_EQ(scan.dataSize, 2000000u);
    EXPECT_FALSE(scan.contentChecked);
    EXPECT_NE(scan.indexState, kob::IndexState::Valid);
  }

  kobtest::TempDir dir;
  std::string data;
  std::string saved;
};

// A milestone moved, its checksum made to match: the blocks before it no
// longer add up to it, so no block from it on is believed.
TEST_F(IndexChain, AMilestoneMovedWithItsChecksumRecomputedIsNotBelieved) {
  const IndexLayout layout(saved);
  struct Case {
    const char* what;
    std::uint64_t block;
    std::size_t field;  // 0: the offset, 8: the position
    std::int64_t by;
  };
  const Case cases[] = {
      {"the last milestone's position, +512", layout.blocks - 1, 8, 512},
      {"the last milestone's position, -512", layout.blocks - 1, 8, -512},
      {"a middle milestone's position, +1", layout.blocks / 2, 8, 1},
      {"the milestone before the last, its offset +9", layout.blocks - 2, 0,
       9},
  };
  for (const Case& c : cases) {
    std::string changed = saved;
    const std::size_t at = layout.milestone(c.block) + c.field;
    setBig(changed, at, getBig(changed, at, 8) + c.by, 8);
    kobtest::writeFile(index(), resealed(changed));
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable) << c.what;
    expectReadRight(c.what);
    // And every milestone after it with it: each block still ends where
    // the next begins, only the sums from block 0 tell.
    for (std::uint64_t k = c.block + 1; k < layout.blocks; ++k) {
      const std::size_t later = layout.milestone(k) + c.field;
      setBig(changed, later, getBig(changed, later, 8) + c.by, 8);
    }
    kobtest::writeFile(index(), resealed(changed));
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable) << c.what;
    expectReadRight(c.what);
  }
}

// A record of the last block changed, its block's checksum made to match:
// no milestone after it can tell, but the file's own headers do.
TEST_F(IndexChain, ALastBlockUnlikeTheFileIsNotBelieved) {
  const IndexLayout layout(saved);
  const std::uint64_t first = 64 * (layout.blocks - 1);
  ASSERT_GE(layout.recordsIn(layout.blocks - 1), 3u);
  std::string changed = saved;
  const std::size_t record = layout.record(first);  // its data size
  setBig(changed, record, getBig(changed, record, 2) - 1, 2);
  kobtest::writeFile(index(), resealed(changed));
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
  expectReadRight("the last block's first data size, -1");
}

// A checksum wrong in a sound block, of an index broken elsewhere: the
// index is not whole, so the payload is read as a walk reads it, as `kob
// -t` does once it meets the broken block.
TEST_F(IndexChain, AChecksumOfAnIndexBrokenElsewhereIsNotDamage) {
  const IndexLayout layout(saved);
  std::string changed = saved;
  // Block 0's last back-link, which no sum covers; a checksum in block 5.
  setBig(changed, layout.record(63) + 4, 1, 2);
  const std::size_t checksum = layout.record(5 * 64 + 10) + 6;
  setBig(changed, checksum, getBig(changed, checksum, 4) ^ 1, 4);
  kobtest::writeFile(index(), resealed(changed));
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
  const kob::ScanReport scan = kob::scanPacked(path(), true);
  EXPECT_TRUE(scan.ok()) << scan.failure.describe();
  // Chunk 330 (of 256 bytes each) and those around it.
  for (bool partial : {false, true}) {
    EXPECT_EQ(readRange(path(), 330 * 256 - 100, 1000, partial),
              data.substr(330 * 256 - 100, 1000));
    EXPECT_EQ(sharedRange(path(), 330 * 256 - 100, 1000, partial),
              data.substr(330 * 256 - 100, 1000));
  }
}

// ---------------------------------------------------------------------------
// A hint: the index of a copy, or of a file of the same size

class IndexHint : public ::testing::Test {
 protected:
  void SetUp() override {
    // Random bytes: every payload is a literal run that a changed byte
    // leaves decodable, so that only a checksum can tell.
    std::mt19937 rng(43);
    data.resize(300000);
    for (char& c : data) c = static_cast<char>(rng());
    packed = kobtest::packFile(dir.path("d.kob"), data, 4096, rng);
    ASSERT_TRUE(saveIndexOf(dir.path("d.kob")).ok());
    // A copy, as cp -p, tar or rsync make one: another inode, the same
    // size, the index beside it.
    kobtest::writeFile(copy(), packed);
    kobtest::writeFile(kob::indexPathFor(copy()),
                       kobtest::readFile(kob::indexPathFor(dir.path("d.kob"))));
    chmod(kob::indexPathFor(copy()).c_str(), 0644);
  }
  std::string copy() const { return dir.path("copy.kob"); }

  kobtest::TempDir dir;
  std::string data;
  std::string packed;
};

// A copy's index lands once the headers before agree with it, read as a
// walk reads them; it still checks every payload.
TEST_F(IndexHint, ACopysIndexLandsOnceTheHeadersBeforeAgree) {
  EXPECT_EQ(kob::indexState(copy()), kob::IndexState::Unverified);
  KobFile reader(copy().c_str(), READ);
  ASSERT_EQ(reader.seek64(250000, 0), 250000);
  unsigned char byte = 0;
  ASSERT_EQ(reader.read(&byte, 1), 1);
  EXPECT_EQ(byte, static_cast<unsigned char>(data[250000]));
  // The first chunk, then the headers up to this one, 128 KiB a read.
  EXPECT_EQ(KobFileTestPeer::readCalls(reader), 3u);
  const kob::ScanReport scan = kob::scanPacked(copy(), true);
  EXPECT_TRUE(scan.ok());
  EXPECT_TRUE(scan.contentChecked);
  EXPECT_EQ(scan.indexState, kob::IndexState::Unverified);
}

// A file of the same size with one payload byte changed, its old index
// left beside it: a hint that disagrees is dropped and the read goes on,
// never failing, never serving the old byte.
TEST_F(IndexHint, AByteChangedUnderAnOldIndexIsReadAsTheFileIs) {
  const std::vector<kobtest::ChunkHeader> chunks =
      kobtest::parseHeaders(packed);
  std::string changed = packed;
  changed[chunks[40].offset + 6 + 1000] ^= 0x20;
  kobtest::writeFile(copy(), changed);
  const std::string now = kobtest::decodeIndependently(changed);
  ASSERT_NE(now, data);
  EXPECT_EQ(kob::indexState(copy()), kob::IndexState::Unverified);
  for (bool partial : {false, true}) {
    SCOPED_TRACE(partial ? "partial decoding" : "whole chunks");
    for (std::int64_t at : {40 * 4096 + 900, 30 * 4096, 0, 299000}) {
      EXPECT_EQ(readRange(copy(), at, 1000, partial), now.substr(at, 1000));
      EXPECT_EQ(sharedRange(copy(), at, 1000, partial), now.substr(at, 1000));
    }
    EXPECT_EQ(readRange(copy(), 0, now.size(), partial), now);
  }
  for (const bool decompress : {true, false}) {  // kob -t, kob -l
    const kob::ScanReport scan = kob::scanPacked(copy(), decompress);
    EXPECT_TRUE(scan.ok()) << scan.failure.describe();
    EXPECT_FALSE(scan.contentChecked);
    EXPECT_EQ(scan.indexState, kob::IndexState::Stale);
  }
}

// A copy's index, or one named with --index-file, that lies about data
// sizes where no checksum shows: nothing at the place a read lands tells,
// only the headers before it. Every front serves the data as it is, a split
// starts only where a chunk does, and the size is the data's.
TEST(IndexHintSizes, ALieNoChecksumShowsMovesNoByte) {
  kobtest::TempDir dir;
  const kobtest::LyingIndexes file = kobtest::lyingIndexes(dir.path("d.kob"));
  const std::string copy = dir.path("copy.kob"), elsewhere = dir.path("d.index");
  kobtest::writeFile(copy, file.packed);
  const std::string out = dir.path("out");
  const auto tool = [&](const std::string& arguments) {
    const std::string line = std::string("'") + KOB_PATH + "' " + arguments + " >'" + out + "'";
    return std::system(line.c_str()) == 0 ? kobtest::readFile(out) : "(failed)";
  };
  for (const std::string& lie : {file.swapped, file.grown, file.swappedVersion1}) {
    for (const std::string& index : {kob::indexPathFor(copy), elsewhere}) {
      kobtest::writeFile(index, lie);
      chmod(index.c_str(), 0644);
    }
    ASSERT_EQ(kob::indexState(copy), kob::IndexState::Unverified);
    for (const std::uint64_t at : {file.starts[2] + 10, file.starts[5] - 20,
                                   file.starts[1] + 5, file.starts[69] + 1}) {
      SCOPED_TRACE(at);
      const std::string expected = file.data.substr(at, 300);
      EXPECT_EQ(readRange(copy, static_cast<std::int64_t>(at), 300, at % 2), expected);
      EXPECT_EQ(sharedRange(copy, at, 300, at % 2), expected);
      const std::string range = "-b " + std::to_string(at) + " -s 300 ";
      EXPECT_EQ(tool(range + "'" + copy + "'"), expected);
      EXPECT_EQ(tool(range + "--index-file '" + elsewhere + "' '" + copy + "'"), expected);
      kob::SharedReader shared;
      ASSERT_TRUE(shared.open(copy.c_str()).ok());
      std::uint64_t start = 0;
      EXPECT_TRUE(shared.chunkStart(at, start).ok());
      EXPECT_EQ(start, *(std::upper_bound(file.starts.begin(), file.starts.end(), at) - 1));
    }
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(copy.c_str()).ok());
    EXPECT_EQ(shared.size(), static_cast<std::int64_t>(file.data.size()));
  }
}

// ---------------------------------------------------------------------------
// Claims: an index that says it is larger than what arrives

// Bytes allocated now, on the heap and mapped.
std::size_t inUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// What a claiming source saw: its reads, and the most memory in use at any.
struct Seen {
  std::size_t peak = 0;
  int reads = 0;
};

// An object elsewhere that claims `claimed` bytes, of which only `first`
// arrive; it notes what it saw in `seen`, which outlives it.
class ClaimingSource final : public kob::Source {
 public:
  ClaimingSource(std::string aFirst, std::int64_t aClaimed, Seen& aSeen)
      : first(std::move(aFirst)), claimed(aClaimed), seen(aSeen) {}
  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override {
    ++seen.reads;
    seen.peak = std::max(seen.peak, inUse());
    static_cast<void>(error);
    if (offset >= static_cast<std::int64_t>(first.size())) return 0;
    const std::size_t n = std::min(
        count, first.size() - static_cast<std::size_t>(offset));
    std::copy_n(first.data() + offset, n, into);
    return static_cast<std::int64_t>(n);
  }
  bool seekable() const override { return true; }
  kob::Identity identity() const override {
    kob::Identity identity;
    identity.size = claimed;
    return identity;
  }
  std::string first;
  std::int64_t claimed;
  Seen& seen;
};

TEST(IndexClaims, AnIndexClaimingMoreThanItSendsCostsWhatArrived) {
  const std::uint64_t count = std::uint64_t{1} << 31;
  const std::uint64_t blocks = count / 64;
  const std::int64_t packedSize = std::int64_t{7} << 31;
  // A preamble and milestones that hold up as far as they go: 64 KiB.
  std::string head = "KOBI";
  head += std::string("\x02\x00\x00\x00", 4);
  head.resize(64);
  setBig(head, 24, static_cast<std::uint64_t>(packedSize), 8);
  setBig(head, 56, count, 8);
  for (std::uint64_t k = 0; head.size() < 65536; ++k) {
    head.resize(head.size() + 16);
    setBig(head, head.size() - 16, 6 + 6 * 64 * k, 8);
    setBig(head, head.size() - 8, 64 * k, 8);
  }
  const std::size_t before = inUse();
  Seen seen;
  auto claiming = std::make_unique<ClaimingSource>(
      head, static_cast<std::int64_t>(kob::version2Size(count)), seen);
  ASSERT_EQ(kob::version2Size(count), 64 + 16 * blocks + 8 + 10 * count +
                                          8 * blocks);
  EXPECT_EQ(kob::SavedIndex::open(std::move(claiming), kob::version2Size(count),
                                  std::vector<unsigned char>(head.begin(),
                                                             head.end()),
                                  packedSize, false),
            nullptr);
  EXPECT_GE(seen.reads, 1);
  if (before == 0) GTEST_SKIP() << "no allocator statistics here";
  // A few times what arrived, not the 800 MB its count would cost.
  EXPECT_LT(seen.peak - std::min(seen.peak, before), std::size_t{4} << 20);
}

// ---------------------------------------------------------------------------
// An index kept anywhere, written to any stream

TEST(IndexElsewhere, AnIndexInAnotherFolderServesEveryReader) {
  kobtest::TempDir dir;
  std::mt19937 rng(47);
  const std::string data = kobtest::makeData(500000, rng);
  const std::string path = dir.path("d.kob");
  kobtest::packFile(path, data, 2048, rng);
  // Written through a stream in memory, then kept in a folder of its own.
  char* bytes = nullptr;
  std::size_t length = 0;
  std::FILE* memory = open_memstream(&bytes, &length);
  kob::OpenRules rules;
  rules.needSeek = true;
  kob::OpenedFile opened = kob::openFile(path, rules);
  ASSERT_TRUE(kob::writeIndex(opened, memory).ok());
  std::fclose(memory);
  std::filesystem::create_directory(dir.path("indexes"));
  const std::string elsewhere = dir.path("indexes/d.index");
  kobtest::writeFile(elsewhere, std::string(bytes, length));
  std::free(bytes);
  chmod(elsewhere.c_str(), 0600);
  const kob::IndexChoice choice = kob::IndexChoice::at(elsewhere);

  EXPECT_EQ(kob::indexState(path), kob::IndexState::Missing);
  EXPECT_EQ(kob::indexState(path, choice), kob::IndexState::Valid);
  KobFile reader;
  reader.setIndexFile(elsewhere.c_str());
  ASSERT_TRUE(reader.open(path.c_str(), READ));
  ASSERT_EQ(reader.seek64(450000, 0), 450000);
  unsigned char byte = 0;
  ASSERT_EQ(reader.read(&byte, 1), 1);
  EXPECT_EQ(byte, static_cast<unsigned char>(data[450000]));
  EXPECT_EQ(KobFileTestPeer::readCalls(reader), 2u);
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path.c_str(), choice).ok());
  char some[100];
  ASSERT_EQ(shared.readAt(300000, some, sizeof some).bytes, sizeof some);
  EXPECT_EQ(std::string(some, sizeof some), data.substr(300000, 100));
  const kob::ScanReport scan = kob::scanPacked(path, true, {}, choice);
  EXPECT_TRUE(scan.contentChecked);
  EXPECT_EQ(scan.indexState, kob::IndexState::Valid);
  // Anyone else may write it: not read.
  chmod(elsewhere.c_str(), 0622);
  EXPECT_EQ(kob::indexState(path, choice), kob::IndexState::Unusable);
}

// ---------------------------------------------------------------------------
// Chunks without data

// "hel", `empty` chunks without data, "lo", as many more, the end:
// each chunk without data nine bytes, the end code its payload.
std::string helloAcrossEmptiness(int empty) {
  std::string file("KOB\x01\x00\x00", 6);
  std::uint32_t previous = 0;
  auto chunk = [&](std::uint32_t dataSize, const std::string& payload) {
    std::string header(6, '\0');
    setBig(header, 0, dataSize, 2);
    setBig(header, 2, payload.size(), 2);
    setBig(header, 4, previous, 2);
    file += header + payload;
    previous = static_cast<std::uint32_t>(payload.size());
  };
  // LZO1X: a first literal run of n bytes is 17 + n, the bytes, the end.
  chunk(3, std::string("\x14hel\x11\x00\x00", 7));
  for (int i = 0; i < empty; ++i) chunk(0, kobtest::kEmptyPayload);
  chunk(2, std::string("\x13lo\x11\x00\x00", 6));
  for (int i = 0; i < empty; ++i) chunk(0, kobtest::kEmptyPayload);
  chunk(0, "");
  return file;
}

TEST(IndexWithoutData, LandsAcrossChunksWithoutDataUnreadAndUnheld) {
  kobtest::TempDir dir;
  const std::string path = dir.path("empty.kob");
  // Enough that a walk reads many times and 40 bytes a chunk is megabytes.
  kobtest::writeFile(path, helloAcrossEmptiness(150000));
  ASSERT_TRUE(saveIndexOf(path).ok());
  ASSERT_EQ(kob::indexState(path), kob::IndexState::Valid);
  for (bool partial : {false, true}) {
    KobFile reader;
    reader.setPartialDecoding(partial);
    ASSERT_TRUE(reader.open(path.c_str(), READ));
    unsigned char five[5];
    ASSERT_EQ(reader.read(five, 5), 5);
    EXPECT_EQ(std::string(five, five + 5), "hello");
    EXPECT_EQ(reader.read(five, 5), 0);
    EXPECT_TRUE(reader.isEOF());
    EXPECT_FALSE(reader.hasError());
    // Not the 2.7 MB of headers: the first chunk, a few blocks, the chunks.
    EXPECT_LE(KobFileTestPeer::readCalls(reader), 6u);
    EXPECT_LT(KobFileTestPeer::heldBytes(reader), std::size_t{1} << 20);
    ASSERT_EQ(reader.seek64(0, 0), 0);
    ASSERT_EQ(reader.read(five, 5), 5);
    EXPECT_EQ(std::string(five, five + 5), "hello");
  }
  EXPECT_EQ(sharedRange(path, 0, 5), "hello");
  EXPECT_EQ(sharedRange(path, 2, 3), "llo");
  EXPECT_EQ(sharedRange(path, 3, 9), "lo");
}

}  // namespace
