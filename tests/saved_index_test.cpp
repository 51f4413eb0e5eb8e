// SPDX-License-Identifier: GPL-2.0-or-later
// A packed file's saved index: used when it matches the file, making a far
// seek one read; a stale, cut or changed index changes nothing served.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzo/lzoconf.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

#include "kob.h"
#include "kob_file_peer.h"
#include "kob_pack.h"
#include "kob_shared.h"
#include "read/packed_reader.h"
#include "test_util.h"

namespace {

// Writes the index of `packed` beside it, readable by all, written by none
// but its owner.
kob::ScanReport saveIndex(const std::string& packed) {
  const int fd = ::open(packed.c_str(), O_RDONLY);
  std::FILE* out = std::fopen(kob::indexPathFor(packed).c_str(), "wb");
  kob::ScanReport report = kob::writeIndex(fd, out);
  std::fclose(out);
  ::close(fd);
  chmod(kob::indexPathFor(packed).c_str(), 0644);
  return report;
}

// Every answer of a fixed random sequence of calls, which visits position
// `visit` on its way.
std::string answers(const std::string& path, std::uint32_t seed,
                    std::size_t span, std::int64_t visit) {
  std::mt19937 rng(seed);
  KobFile reader(path.c_str(), READ);
  std::string out;
  for (int i = 0; i < 40; ++i) {
    const std::int64_t target = i == 30 ? visit : rng() % span;
    out += std::to_string(reader.seek64(target, 0)) + " ";
    unsigned char buf[64];
    const int n = reader.read(buf, rng() % sizeof buf);
    out.append(buf, buf + std::max(n, 0));
    out += " " + std::to_string(reader.get()) + " " +
           std::to_string(reader.tell64()) + " " +
           std::to_string(static_cast<int>(reader.damage())) + "\n";
  }
  return out;
}

// Big-endian integers, as an index stores them.
void putBig(std::string& out, std::uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>(value >> shift));
  }
}

std::uint64_t getBig(const std::string& in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | static_cast<unsigned char>(in[at + i]);
  }
  return value;
}

// The records of a saved index (version 2), 10 bytes each, out of its
// blocks of 64.
std::string recordsOf(const std::string& saved) {
  const std::uint64_t count = getBig(saved, 56, 8);
  const std::uint64_t blocks = (count + 63) / 64;
  std::string records;
  std::size_t at = 72 + 16 * blocks;
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::size_t length = 10 * std::min<std::uint64_t>(64, count - 64 * k);
    records += saved.substr(at, length);
    at += length + 8;
  }
  return records;
}

// The saved index `saved` (version 2) with its records replaced by
// `records` (10 bytes each) and `count` records said to be there, its
// milestones, blocks and checksums made to match, as a writer of indexes
// might have made it.
std::string withRecords(const std::string& saved, const std::string& records,
                        std::uint64_t count) {
  const std::size_t stored = records.size() / 10;
  // Blocks for the records there, however many the count claims.
  const std::uint64_t blocks =
      (std::min<std::uint64_t>(count, stored + 64) + 63) / 64;
  std::string out = saved.substr(0, 56);
  putBig(out, count, 8);
  std::uint64_t offset = 6, position = 0;
  for (std::size_t i = 0; i < 64 * blocks; ++i) {
    if (i % 64 == 0) {
      putBig(out, offset, 8);
      putBig(out, position, 8);
    }
    if (i < stored) {
      offset += 6 + getBig(records, 10 * i + 2, 2);
      position += getBig(records, 10 * i, 2);
    }
  }
  putBig(out, XXH3_64bits(out.data(), out.size()), 8);
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::size_t from = std::min<std::size_t>(10 * 64 * k, records.size());
    const std::string block = records.substr(from, 10 * 64);
    out += block;
    putBig(out, XXH3_64bits(block.data(), block.size()), 8);
  }
  return out;
}

// Writes a version 1 index of the packed file at `path` as it is now, made
// here from its headers and its status, as indexes were first written:
// without change time and without checksums.
void saveVersion1Index(const std::string& path) {
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  const std::string packed = kobtest::readFile(path);
  std::string out = "KOBI";
  out += std::string("\x01\x00\x00\x00", 4);
  putBig(out, info.st_dev, 8);
  putBig(out, info.st_ino, 8);
  putBig(out, info.st_size, 8);
  putBig(out, info.st_mtim.tv_sec, 8);
  putBig(out, info.st_mtim.tv_nsec, 4);
  const std::vector<kobtest::ChunkHeader> headers =
      kobtest::parseHeaders(packed);
  putBig(out, headers.size(), 8);
  for (const kobtest::ChunkHeader& h : headers) {
    out += packed.substr(h.offset, 6);
  }
  putBig(out,
         lzo_adler32(1, reinterpret_cast<const unsigned char*>(out.data()),
                     out.size()),
         4);
  kobtest::writeFile(kob::indexPathFor(path), out);
  chmod(kob::indexPathFor(path).c_str(), 0644);
}

// A chunk's record as a version 2 index stores it.
std::string record(std::uint32_t dataSize, std::uint32_t payloadSize,
                   std::uint32_t backLink, std::uint32_t checksum = 0) {
  std::string out;
  putBig(out, dataSize, 2);
  putBig(out, payloadSize, 2);
  putBig(out, backLink, 2);
  putBig(out, checksum, 4);
  return out;
}

// Sets the packed file's modification time, keeping its access time.
void setModified(const std::string& path, const struct timespec& when) {
  struct timespec times[2] = {{0, UTIME_OMIT}, when};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class SavedIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(21);
    data = kobtest::makeData(600000, rng);
    packed = kobtest::packFile(path(), data, 4096, rng);
  }
  std::string path() const { return dir.path("d.kob"); }
  std::string index() const { return kob::indexPathFor(path()); }

  kobtest::TempDir dir;
  std::string data;
  std::string packed;
};

TEST_F(SavedIndex, AFarSeekOnAFreshReaderIsOneRead) {
  ASSERT_TRUE(saveIndex(path()).ok());
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid);
  KobFile reader(path().c_str(), READ);
  EXPECT_EQ(reader.seek64(599000, 0), 599000);
  unsigned char buf[500];
  ASSERT_EQ(reader.read(buf, sizeof buf), 500);
  EXPECT_EQ(std::string(buf, buf + 500), data.substr(599000, 500));
  EXPECT_EQ(KobFileTestPeer::readCalls(reader), 2u);  // first chunk, this
  EXPECT_EQ(reader.seek64(1u << 30, 0), 600000);
  EXPECT_TRUE(reader.isEOF());
  EXPECT_FALSE(reader.hasError());
}

TEST_F(SavedIndex, IsStaleOnceTheFileIsRepacked) {
  ASSERT_TRUE(saveIndex(path()).ok());
  std::mt19937 rng(22);
  std::string other = kobtest::makeData(600000, rng);
  const std::string next = dir.path("next.kob");
  kobtest::packFile(next, other, 4096, rng);
  ASSERT_EQ(std::rename(next.c_str(), path().c_str()), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Stale);
  KobFile reader(path().c_str(), READ);
  EXPECT_EQ(reader.seek64(300000, 0), 300000);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(other[300000]));
}

// A file of the same size whose times changed may be another: its index is
// only a hint from then on.
TEST_F(SavedIndex, IsOnlyAHintOnceTheFileIsTouched) {
  ASSERT_TRUE(saveIndex(path()).ok());
  struct stat packedInfo;
  ASSERT_EQ(stat(path().c_str(), &packedInfo), 0);
  const struct timespec saved = packedInfo.st_mtim;
  setModified(path(), {saved.tv_sec + 1, saved.tv_nsec});
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unverified);
  // Setting the time back does not make it valid again: the change time
  // moved too, and nobody can set that back.
  setModified(path(), saved);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unverified);
  ASSERT_TRUE(saveIndex(path()).ok());
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid);
}

// A file rewritten in place, same inode, same size, its modification time
// given back (as `touch -r` or `rsync --inplace -t` do), with the chunks
// moved: an index of how it was must not lead a reader to the wrong bytes.
TEST_F(SavedIndex, AFileRewrittenInPlaceWithItsTimeSetBackIsNotMisread) {
  ASSERT_TRUE(saveIndex(path()).ok());
  struct stat before;
  ASSERT_EQ(stat(path().c_str(), &before), 0);
  std::mt19937 rng(23);
  std::string other;
  std::string repacked;
  // Another text packed in another chunk size, made exactly as large with
  // chunks without data in front (9 bytes each).
  for (int tries = 0; repacked.size() != packed.size(); ++tries) {
    ASSERT_LT(tries, 500);
    other = kobtest::makeData(500000 + rng() % 1000, rng);
    const std::string shorter =
        kobtest::packFile(dir.path("other.kob"), other, 3000, rng);
    if (shorter.size() < packed.size() &&
        (packed.size() - shorter.size()) % 9 == 0) {
      repacked = kobtest::withEmptyChunks(
          shorter,
          std::vector<std::size_t>((packed.size() - shorter.size()) / 9, 0),
          kobtest::kEmptyPayload);
    }
  }
  kobtest::writeFile(path(), repacked);
  setModified(path(), before.st_mtim);
  struct stat after;
  ASSERT_EQ(stat(path().c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);
  // Whole, of a file of this size, but its last block, checked against the
  // file, disagrees with it.
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Stale);
  EXPECT_EQ(kob::scanPacked(path(), false).indexState, kob::IndexState::Stale);
  KobFile reader(path().c_str(), READ);
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path().c_str()).ok());
  for (std::int64_t at : {100000, 350000, 490000}) {
    ASSERT_EQ(reader.seek64(at, 0), at);
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(other[at]));
    char byte = 0;
    ASSERT_EQ(shared.readAt(at, &byte, 1).bytes, 1u);
    EXPECT_EQ(byte, other[at]);
  }
}

TEST_F(SavedIndex, IsNotTrustedWhenOthersMayWriteIt) {
  ASSERT_TRUE(saveIndex(path()).ok());
  for (mode_t mode : {0666, 0664, 0646, 0620, 0602}) {
    chmod(index().c_str(), mode);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable)
        << std::oct << mode;
  }
  for (mode_t mode : {0644, 0600, 0444, 0400}) {
    chmod(index().c_str(), mode);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid)
        << std::oct << mode;
  }
}

TEST_F(SavedIndex, IsTrustedOnlyFromTheFilesOwnerOrRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
  const uid_t someone = 54321;
  const uid_t someoneElse = 54322;
  ASSERT_TRUE(saveIndex(path()).ok());
  ASSERT_EQ(chown(index().c_str(), someone, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable)
      << "root's file, someone's index";
  // Giving the packed file away changes it: the index is made again.
  ASSERT_EQ(chown(path().c_str(), someone, static_cast<gid_t>(-1)), 0);
  ASSERT_TRUE(saveIndex(path()).ok());
  ASSERT_EQ(chown(index().c_str(), someone, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "both someone's";
  ASSERT_EQ(chown(index().c_str(), someoneElse, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable)
      << "someone's file, someone else's index";
  ASSERT_EQ(chown(index().c_str(), 0, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "someone's file, root's index";
}

TEST_F(SavedIndex, IsUnusableWhenItsRecordsDoNotDescribeTheWholeFile) {
  ASSERT_TRUE(saveIndex(path()).ok());
  const std::string saved = kobtest::readFile(index());
  const std::string records = recordsOf(saved);
  const std::uint64_t count = records.size() / 10;
  const std::vector<kobtest::ChunkHeader> chunks =
      kobtest::parseHeaders(packed);

  kobtest::writeFile(index(), withRecords(saved, records, count));
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "made as the writer makes it";

  // The chunk at 300000 listed as one without data, its size moved to the
  // last: the records still chain and fill the file.
  const std::size_t middle = 300000 / 4096;
  std::string vanished = records;
  vanished.replace(10 * middle, 2, std::string(2, '\0'));
  const std::size_t lastData = chunks.size() - 2;
  const std::string lastRecord =
      record(chunks[lastData].dataSize + 4096, chunks[lastData].payloadSize,
             chunks[lastData].backLink,
             static_cast<std::uint32_t>(getBig(records, 10 * lastData + 6, 4)));
  vanished.replace(10 * lastData, 10, lastRecord);

  struct Case {
    const char* what;
    std::string index;
  };
  const Case cases[] = {
      {"an end marker after the first ten chunks",
       withRecords(saved,
                   records.substr(0, 10 * 10) +
                       record(0, 0, chunks[9].payloadSize),
                   11)},
      {"a record after the end marker",
       withRecords(saved, records + record(0, 0, 0), count + 1)},
      {"a count of records far beyond those there",
       withRecords(saved, records, std::uint64_t{1} << 62)},
      {"a count of records one short", withRecords(saved, records, count - 1)},
      {"a chunk with data listed as one without", 
       withRecords(saved, vanished, count)},
  };
  for (const Case& c : cases) {
    kobtest::writeFile(index(), c.index);
    chmod(index().c_str(), 0644);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable) << c.what;
    KobFile reader(path().c_str(), READ);
    EXPECT_EQ(reader.seek64(599000, 0), 599000) << c.what;
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[599000]));
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    char byte = 0;
    EXPECT_EQ(shared.readAt(300000, &byte, 1).bytes, 1u) << c.what;
    EXPECT_EQ(byte, data[300000]) << c.what;
  }
}

// Indexes written before checksums are still read, without them.
TEST_F(SavedIndex, AVersion1IndexStillServes) {
  saveVersion1Index(path());
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid);
  KobFile reader(path().c_str(), READ);
  EXPECT_EQ(reader.seek64(599000, 0), 599000);
  EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[599000]));
  EXPECT_EQ(KobFileTestPeer::readCalls(reader), 2u);  // first chunk, this
  // A version 1 index listing a chunk with data as one without: the data
  // must not vanish as if it ended there.
  const std::vector<kobtest::ChunkHeader> chunks =
      kobtest::parseHeaders(packed);
  std::string saved = kobtest::readFile(index());
  saved[52 + 6 * (chunks.size() - 2)] = 0;
  saved[52 + 6 * (chunks.size() - 2) + 1] = 0;
  saved.resize(saved.size() - 4);
  putBig(saved,
         lzo_adler32(1, reinterpret_cast<const unsigned char*>(saved.data()),
                     saved.size()),
         4);
  kobtest::writeFile(index(), saved);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path().c_str()).ok());
  char byte = 0;
  const kob::ReadResult got = shared.readAt(599990, &byte, 1);
  EXPECT_EQ(got.bytes, 1u);
  EXPECT_EQ(byte, data[599990]);
}

// What `kob -l` says of an index, alike for either version.
TEST_F(SavedIndex, StatesAreTheSameForEitherVersion) {
  std::mt19937 rng(23);
  const std::string copy = dir.path("copy.kob"), one = dir.path("one.kob");
  kobtest::writeFile(copy, packed);
  kobtest::packFile(one, data.substr(0, 4096 * 3 + 1), 4096, rng);  // a 1-byte chunk
  const std::size_t records = kobtest::parseHeaders(packed).size();
  for (const int version : {1, 2}) {
    SCOPED_TRACE(version);
    const auto save = [&](const std::string& of) {
      if (version == 1) return saveVersion1Index(of);
      ASSERT_TRUE(saveIndex(of).ok());
    };
    save(one);
    EXPECT_EQ(kob::indexState(one), kob::IndexState::Valid) << "a 5-byte payload";
    save(path());
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid);
    const std::string saved = kobtest::readFile(index());
    kobtest::writeFile(kob::indexPathFor(copy), saved);
    chmod(kob::indexPathFor(copy).c_str(), 0644);
    EXPECT_EQ(kob::indexState(copy), kob::IndexState::Unverified) << "a copy's";
    // The last chunk left out, the end marker linked to the one before.
    std::string shorter;
    if (version == 1) {
      shorter = saved.substr(0, 52 + 6 * (records - 2)) + saved.substr(52 + 6 * (records - 1));
      shorter.replace(52 + 6 * (records - 2) + 4, 2, saved, 52 + 6 * (records - 3) + 2, 2);
      std::string count;
      putBig(count, records - 1, 8);
      shorter.replace(44, 8, count);
      shorter.resize(shorter.size() - 4);
      putBig(shorter, lzo_adler32(1, reinterpret_cast<const unsigned char*>(shorter.data()),
                                  shorter.size()), 4);
    } else {
      std::string kept = recordsOf(saved);
      kept.erase(10 * (records - 2), 10);
      kept.replace(10 * (records - 2) + 4, 2, kept, 10 * (records - 3) + 2, 2);
      shorter = withRecords(saved, kept, records - 1);
    }
    kobtest::writeFile(index(), shorter);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable) << "the last chunk left out";
    save(path());
    kobtest::packFile(path(), data, 8192, rng);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Stale) << "of another size";
    kobtest::writeFile(path(), packed);
  }
}

// The index says where the end marker is; the reader still reads it there
// before it takes the end for granted.
TEST_F(SavedIndex, AFileChangedUnderAMatchingIndexAnswersAsWithoutIt) {
  // A version 1 index knows no change time: one can still match a file
  // changed in place.
  saveVersion1Index(path());
  struct stat before;
  ASSERT_EQ(stat(path().c_str(), &before), 0);
  std::string changed = packed;
  changed[changed.size() - 3] = 1;  // the end marker now has a payload
  kobtest::writeFile(path(), changed);
  setModified(path(), before.st_mtim);
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid);

  for (bool withIndex : {true, false}) {
    SCOPED_TRACE(withIndex ? "with the index" : "without it");
    if (!withIndex) std::filesystem::remove(index());
    KobFile reader(path().c_str(), READ);
    EXPECT_EQ(reader.seek64(1 << 30, 0), 600000);
    EXPECT_TRUE(reader.isEOF());
    EXPECT_EQ(reader.damage(), kob::Damage::CutShort);
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    EXPECT_EQ(shared.size(), -1) << "the end is hidden by the damage";
  }
}

// Where the end marker no longer stands where the index says, the reader
// walks the file afresh from its start rather than on from there, and so
// meets damage earlier in the file as a reader without the index does.
TEST_F(SavedIndex, AnEndMarkerGoneFromItsPlaceSendsTheWalkBackToTheStart) {
  saveVersion1Index(path());
  struct stat before;
  ASSERT_EQ(stat(path().c_str(), &before), 0);
  std::string changed = packed;
  changed[changed.size() - 3] = 1;  // the end marker now has a payload
  const std::size_t middle = kobtest::parseHeaders(packed)[20].offset;
  changed[middle + 5] ^= 0x01;  // and a back-link in the middle is broken
  kobtest::writeFile(path(), changed);
  setModified(path(), before.st_mtim);
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid);

  std::string seen[2];
  for (bool withIndex : {true, false}) {
    if (!withIndex) std::filesystem::remove(index());
    KobFile reader(path().c_str(), READ);
    const std::int64_t landed = reader.seek64(1 << 30, 0);
    EXPECT_EQ(reader.damage(), kob::Damage::BrokenBackLink);
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    seen[withIndex] =
        std::to_string(landed) + " " + std::to_string(shared.size());
  }
  EXPECT_EQ(seen[true], seen[false]);
}

// Nobody need write to whatever stands in the index's place for the packed
// file to open: a FIFO there, with no writer, is not waited on.
TEST_F(SavedIndex, AFifoInItsPlaceIsNotWaitedFor) {
  ASSERT_EQ(mkfifo(index().c_str(), 0644), 0);
  auto opening = std::async(std::launch::async, [&] {
    std::string answers = kob::describe(kob::indexState(path()));
    KobFile reader(path().c_str(), READ);
    answers += " " + std::to_string(reader.seek64(599000, 0));
    answers += " " + std::to_string(reader.get());
    kob::SharedReader shared;
    answers += shared.open(path().c_str()).ok() ? " open" : " failed";
    return answers;
  });
  // Opening waits on a FIFO only for a writer: after half a minute it is
  // given writers until it has opened, so that it fails the test instead
  // of hanging it.
  if (opening.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "opening waited for a writer of " << index();
    while (opening.wait_for(std::chrono::milliseconds(10)) !=
           std::future_status::ready) {
      const int fd = ::open(index().c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }
  EXPECT_EQ(opening.get(),
            "unusable 599000 " +
                std::to_string(static_cast<unsigned char>(data[599000])) +
                " open");
}

TEST_F(SavedIndex, CutOrChangedIndexChangesNothingServed) {
  // Damage makes the answers worth comparing: a payload that does not
  // decompress, which an index does not know of.
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  std::string damaged = packed;
  kobtest::spoilPayload(damaged, headers[40]);
  kobtest::writeFile(path(), damaged);
  // The writer of indexes refuses a damaged file; indexes once did not.
  EXPECT_FALSE(saveIndex(path()).ok());
  saveVersion1Index(path());
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid);
  const std::string saved = kobtest::readFile(index());

  std::filesystem::remove(index());
  const std::uint32_t seed = kobtest::testSeed("CutOrChangedIndex");
  const std::string expected = answers(path(), seed, 700000, 165000);
  ASSERT_NE(expected.find(" 2\n"), std::string::npos) << "meets damage";

  std::vector<std::string> variants = {saved};
  for (std::size_t length = 0; length < saved.size(); length += 97) {
    variants.push_back(saved.substr(0, length));
  }
  for (std::size_t at = 0; at < saved.size(); at += 5) {
    for (unsigned char mask : {0x01, 0x40}) {
      std::string changed = saved;
      changed[at] = static_cast<char>(changed[at] ^ mask);
      variants.push_back(changed);
    }
  }
  for (const std::string& variant : variants) {
    kobtest::writeFile(index(), variant);
    chmod(index().c_str(), 0644);
    ASSERT_EQ(answers(path(), seed, 700000, 165000), expected)
        << "index of " << variant.size() << " bytes";
  }
}

// An index as large as a file system allows, sparse, behind a preamble that
// names the file as it is: refused from its size and count alone, before a
// byte of it is allocated or read.
TEST_F(SavedIndex, AnIndexFarLargerThanItsFileIsRefusedBeforeItIsRead) {
  ASSERT_TRUE(saveIndex(path()).ok());
  const std::string saved = kobtest::readFile(index());
  for (const std::uint64_t count :
       {std::uint64_t{600} << 30, static_cast<std::uint64_t>(
                                      recordsOf(saved).size() / 10)}) {
    std::string preamble = saved.substr(0, 56);
    putBig(preamble, count, 8);
    kobtest::writeFile(index(), preamble);
    chmod(index().c_str(), 0644);
    // 6 TiB, or its own count's worth, of nothing.
    ASSERT_EQ(truncate(index().c_str(),
                       static_cast<off_t>(std::min<std::uint64_t>(
                           64 + 10 * count + 8, std::uint64_t{6} << 40))),
              0);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
    KobFile reader(path().c_str(), READ);
    EXPECT_EQ(reader.seek64(599000, 0), 599000);
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[599000]));
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path().c_str()).ok());
    EXPECT_EQ(shared.size(), 600000);
  }
}

// Whoever may write the folder could put a link where the index goes,
// leading to any large file: it is never followed.
TEST_F(SavedIndex, ALinkInItsPlaceIsNotFollowed) {
  ASSERT_TRUE(saveIndex(path()).ok());
  const std::string elsewhere = dir.path("elsewhere.kbi");
  std::filesystem::rename(index(), elsewhere);
  std::filesystem::create_symlink(elsewhere, index());
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
  std::filesystem::remove(index());
  std::filesystem::rename(elsewhere, index());
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid);
}

class IndexChecksums : public SavedIndex {
 protected:
  void SetUp() override {
    // Random bytes: every payload is a literal run that any changed byte
    // leaves decodable, so that only a checksum can tell.
    std::mt19937 rng(31);
    data.resize(200000);
    for (char& c : data) c = static_cast<char>(rng());
    packed = kobtest::packFile(path(), data, 4096, rng);
    chunks = kobtest::parseHeaders(packed);
    ASSERT_TRUE(saveIndex(path()).ok());
  }

  // Reads 3000 bytes from `at` both ways; checks the failure met.
  void expectFailureAt(std::int64_t at, kob::Damage damage, int error) {
    for (bool partial : {false, true}) {
      SCOPED_TRACE(partial ? "partial decoding" : "whole chunks");
      KobFile reader;
      reader.setPartialDecoding(partial);
      ASSERT_TRUE(reader.open(path().c_str(), READ));
      unsigned char buf[3000];
      ASSERT_EQ(reader.seek64(at, 0), at);
      EXPECT_EQ(reader.read(buf, sizeof buf), 0) << "never served";
      EXPECT_EQ(reader.damage(), damage);
      EXPECT_EQ(reader.ioError(), error);
      kob::SharedReader shared;
      shared.setPartialDecoding(partial);
      ASSERT_TRUE(shared.open(path().c_str()).ok());
      const kob::ReadResult got = shared.readAt(at, buf, sizeof buf);
      EXPECT_EQ(got.bytes, 0u);
      EXPECT_EQ(got.failure.damage, damage);
      EXPECT_EQ(got.failure.error, error);
    }
  }

  std::vector<kobtest::ChunkHeader> chunks;
};

TEST_F(IndexChecksums, APayloadUnlikeItsChecksumIsNeverServed) {
  // The index's checksum of chunk 20 made wrong, the index still whole.
  const std::string saved = kobtest::readFile(index());
  std::string records = recordsOf(saved);
  records[10 * 20 + 9] ^= 0x01;
  kobtest::writeFile(index(),
                     withRecords(saved, records, records.size() / 10));
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid);
  expectFailureAt(20 * 4096 + 100, kob::Damage::ChecksumMismatch, 0);
  // Reading through from the start serves the chunks before it, and kob's
  // scanner finds it in the same place.
  KobFile reader(path().c_str(), READ);
  std::string all(data.size(), '\0');
  EXPECT_EQ(reader.read(reinterpret_cast<unsigned char*>(all.data()),
                        static_cast<unsigned>(all.size())),
            20 * 4096);
  EXPECT_EQ(reader.failure().chunk, 20);
  const int fd = ::open(path().c_str(), O_RDONLY);
  const kob::ScanReport scan =
      kob::scanPacked(fd, true, {}, index().c_str());
  ::close(fd);
  EXPECT_EQ(scan.failure.damage, kob::Damage::ChecksumMismatch);
  EXPECT_EQ(scan.failure.fileOffset,
            static_cast<std::int64_t>(chunks[20].offset));
  EXPECT_FALSE(scan.contentChecked);
}

// A record changed inside its block, the block's own checksum left as it
// was: the block is not trusted, so the chunk is read as without an index.
TEST_F(IndexChecksums, ARecordUnlikeItsBlocksChecksumIsNotTrusted) {
  std::string saved = kobtest::readFile(index());
  const std::uint64_t blocks = (getBig(saved, 56, 8) + 63) / 64;
  const std::size_t record20 = 72 + 16 * blocks + 10 * 20;
  saved[record20 + 9] ^= 0x01;  // its payload's checksum
  kobtest::writeFile(index(), saved);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
  KobFile reader(path().c_str(), READ);
  std::string chunk(4096, '\0');
  ASSERT_EQ(reader.seek64(20 * 4096, 0), 20 * 4096);
  ASSERT_EQ(reader.read(reinterpret_cast<unsigned char*>(chunk.data()), 4096),
            4096);
  EXPECT_EQ(chunk, data.substr(20 * 4096, 4096));
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path().c_str()).ok());
  EXPECT_EQ(shared.readAt(20 * 4096, chunk.data(), 4096).bytes, 4096u);
  EXPECT_EQ(chunk, data.substr(20 * 4096, 4096));
}

TEST_F(IndexChecksums, AScanWithTheIndexChecksContent) {
  const int fd = ::open(path().c_str(), O_RDONLY);
  EXPECT_TRUE(kob::scanPacked(fd, true, {}, index().c_str()).contentChecked);
  EXPECT_FALSE(kob::scanPacked(fd, true).contentChecked);
  ::close(fd);
}

// A file rewritten in place under a reader that took up its index: no
// bytes of two versions, but a clear failure; a fresh reader reads the new.
TEST_F(IndexChecksums, AFileRewrittenUnderAReaderIsNotServedMixed) {
  KobFile reader(path().c_str(), READ);
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path().c_str()).ok());
  std::string changed = packed;
  const std::size_t at = chunks[30].offset + 6 + 2000;  // inside the literals
  changed[at] = static_cast<char>(changed[at] ^ 0x55);
  struct stat before;
  ASSERT_EQ(stat(path().c_str(), &before), 0);
  std::fstream(path(), std::ios::in | std::ios::out | std::ios::binary)
      .write(changed.data(), static_cast<std::streamsize>(changed.size()));
  // Its modification time given back: only the change time shows it.
  setModified(path(), before.st_mtim);
  char buf[100];
  EXPECT_EQ(reader.seek64(30 * 4096 + 50, 0), 30 * 4096 + 50);
  EXPECT_EQ(reader.read(reinterpret_cast<unsigned char*>(buf), 100), 0);
  EXPECT_EQ(reader.ioError(), ESTALE);
  EXPECT_EQ(shared.readAt(30 * 4096 + 50, buf, 100).failure.error, ESTALE);

  // For a fresh reader the index is a hint, dropped where the payload
  // disagrees with it.
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unverified);
  EXPECT_EQ(kob::scanPacked(path(), true).indexState, kob::IndexState::Stale);
  const std::string now = kobtest::decodeIndependently(changed);
  KobFile fresh(path().c_str(), READ);
  ASSERT_EQ(fresh.seek64(30 * 4096, 0), 30 * 4096);
  std::string chunk(4096, '\0');
  ASSERT_EQ(fresh.read(reinterpret_cast<unsigned char*>(chunk.data()), 4096),
            4096);
  EXPECT_EQ(chunk, now.substr(30 * 4096, 4096));
}

// Bit rot: a payload byte changed on the disk itself, where no time or size
// shows it, made here on a file system image changed while unmounted.
TEST_F(IndexChecksums, APayloadChangedWhereNoTimeShowsIsFound) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const std::string image = dir.path("fs.img");
  const std::string mounted = dir.path("mnt");
  std::filesystem::create_directory(mounted);
  auto run = [](const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  };
  if (!run("truncate -s 8M '" + image + "' && mkfs.ext4 -q -F '" + image +
           "'")) {
    GTEST_SKIP() << "no mkfs.ext4";
  }
  // One loop device for both mounts, so the file keeps its device number.
  std::string device;
  {
    std::FILE* out =
        popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r");
    char line[128] = {};
    if (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
      device = line;
      device.erase(device.find_last_not_of("\n") + 1);
    }
    if (out != nullptr) pclose(out);
  }
  if (device.empty() || !run("mount '" + device + "' '" + mounted + "'")) {
    if (!device.empty()) run("losetup -d '" + device + "'");
    GTEST_SKIP() << "cannot mount a loop device here";
  }
  const std::string file = mounted + "/d.kob";
  kobtest::writeFile(file, packed);
  ASSERT_TRUE(saveIndex(file).ok());
  ASSERT_EQ(kob::indexState(file), kob::IndexState::Valid);
  ASSERT_TRUE(run("umount '" + mounted + "' && losetup -d '" + device + "'"));

  // Chunk 12's literals, found in the image and changed there.
  std::string bytes = kobtest::readFile(image);
  const std::string needle = packed.substr(chunks[12].offset + 100, 64);
  const std::size_t found = bytes.find(needle);
  ASSERT_NE(found, std::string::npos);
  kobtest::flipByte(image, found + 10, 0x20);

  ASSERT_TRUE(run("losetup '" + device + "' '" + image + "' && mount '" +
                  device + "' '" + mounted + "'"));
  const bool sameFile = kob::indexState(file) == kob::IndexState::Valid;
  if (sameFile) {
    KobFile reader(file.c_str(), READ);
    ASSERT_EQ(reader.seek64(12 * 4096, 0), 12 * 4096);
    unsigned char buf[100];
    EXPECT_EQ(reader.read(buf, sizeof buf), 0);
    EXPECT_EQ(reader.damage(), kob::Damage::ChecksumMismatch);
    const int fd = ::open(file.c_str(), O_RDONLY);
    EXPECT_EQ(kob::scanPacked(fd, true, {}, kob::indexPathFor(file).c_str())
                  .failure.damage,
              kob::Damage::ChecksumMismatch);
    ::close(fd);
  }
  run("umount '" + mounted + "'; losetup -d '" + device + "'");
  if (!sameFile) GTEST_SKIP() << "the remount gave the file another identity";
}

}  // namespace
