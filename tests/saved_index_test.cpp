// SPDX-License-Identifier: GPL-2.0-or-later
// A packed file's saved index: used when it matches the file, making a far
// seek one read; a stale, cut or changed index changes nothing served.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzo/lzoconf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "kob.h"
#include "kob_file_peer.h"
#include "kob_pack.h"
#include "kob_shared.h"
#include "packed_reader.h"
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

// The saved index `saved` with its chunk headers replaced by `headers` (6
// bytes each), its count of headers and its checksum made to match them, as
// a writer of indexes might have made it.
std::string withHeaders(const std::string& saved, const std::string& headers,
                        std::uint64_t count) {
  std::string out = saved.substr(0, 44);
  for (int shift = 56; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>(count >> shift));
  }
  out += headers;
  const lzo_uint32_t sum = lzo_adler32(
      1, reinterpret_cast<const unsigned char*>(out.data()), out.size());
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>(sum >> shift));
  }
  return out;
}

std::string headersOf(const std::string& saved) {
  return saved.substr(52, saved.size() - 52 - 4);
}

// A chunk header as stored.
std::string header(std::uint32_t dataSize, std::uint32_t payloadSize,
                   std::uint32_t backLink) {
  const char bytes[6] = {char(dataSize >> 8),    char(dataSize),
                         char(payloadSize >> 8), char(payloadSize),
                         char(backLink >> 8),    char(backLink)};
  return std::string(bytes, 6);
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

TEST_F(SavedIndex, IsStaleOnceTheFileIsTouched) {
  ASSERT_TRUE(saveIndex(path()).ok());
  struct stat packedInfo;
  ASSERT_EQ(stat(path().c_str(), &packedInfo), 0);
  const struct timespec saved = packedInfo.st_mtim;
  setModified(path(), {saved.tv_sec + 1, saved.tv_nsec});
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Stale);
  setModified(path(), {saved.tv_sec, saved.tv_nsec == 0 ? 1 : 0});
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Stale)
      << "a nanosecond's difference";
  setModified(path(), saved);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid);
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
  ASSERT_TRUE(saveIndex(path()).ok());
  const uid_t someone = 54321;
  const uid_t someoneElse = 54322;
  ASSERT_EQ(chown(index().c_str(), someone, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable)
      << "root's file, someone's index";
  ASSERT_EQ(chown(path().c_str(), someone, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "both someone's";
  ASSERT_EQ(chown(index().c_str(), someoneElse, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable)
      << "someone's file, someone else's index";
  ASSERT_EQ(chown(index().c_str(), 0, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "someone's file, root's index";
}

TEST_F(SavedIndex, IsUnusableWhenItsHeadersDoNotDescribeTheWholeFile) {
  ASSERT_TRUE(saveIndex(path()).ok());
  const std::string saved = kobtest::readFile(index());
  const std::string headers = headersOf(saved);
  const std::uint64_t count = headers.size() / 6;
  const std::vector<kobtest::ChunkHeader> chunks =
      kobtest::parseHeaders(packed);

  kobtest::writeFile(index(), withHeaders(saved, headers, count));
  ASSERT_EQ(kob::indexState(path()), kob::IndexState::Valid)
      << "made as the writer makes it";

  struct Case {
    const char* what;
    std::string index;
  };
  const Case cases[] = {
      {"an end marker after the first ten chunks",
       withHeaders(
           saved,
           headers.substr(0, 10 * 6) + header(0, 0, chunks[9].payloadSize),
           11)},
      {"a header after the end marker",
       withHeaders(saved, headers + header(0, 0, 0), count + 1)},
      {"a count of headers far beyond those there",
       withHeaders(saved, headers, std::uint64_t{1} << 62)},
      {"a count of headers one short", withHeaders(saved, headers, count - 1)},
  };
  for (const Case& c : cases) {
    kobtest::writeFile(index(), c.index);
    chmod(index().c_str(), 0644);
    EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable) << c.what;
    KobFile reader(path().c_str(), READ);
    EXPECT_EQ(reader.seek64(599000, 0), 599000) << c.what;
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(data[599000]));
  }
}

// The index says where the end marker is; the reader still reads it there
// before it takes the end for granted.
TEST_F(SavedIndex, AFileChangedUnderAMatchingIndexAnswersAsWithoutIt) {
  ASSERT_TRUE(saveIndex(path()).ok());
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
    ASSERT_TRUE(shared.open(path().c_str()));
    EXPECT_EQ(shared.size(), -1) << "the end is hidden by the damage";
  }
}

// Where the end marker no longer stands where the index says, the reader
// walks the file afresh from its start rather than on from there, and so
// meets damage earlier in the file as a reader without the index does.
TEST_F(SavedIndex, AnEndMarkerGoneFromItsPlaceSendsTheWalkBackToTheStart) {
  ASSERT_TRUE(saveIndex(path()).ok());
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
    ASSERT_TRUE(shared.open(path().c_str()));
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
    answers += shared.open(path().c_str()) ? " open" : " failed";
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
  ASSERT_TRUE(saveIndex(path()).ok());
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

}  // namespace
