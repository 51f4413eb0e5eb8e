// A packed file's saved index: used when it matches the file, making a far
// seek one read; a stale, cut or changed index changes nothing served.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kob.h"
#include "kob_pack.h"
#include "packed_reader.h"
#include "test_util.h"

class KobFileTestPeer {
 public:
  static std::uint64_t readCalls(const KobFile& file) {
    return file.reader->readCalls();
  }
};

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

TEST_F(SavedIndex, IsNotTrustedWhenOthersMayWriteIt) {
  ASSERT_TRUE(saveIndex(path()).ok());
  chmod(index().c_str(), 0666);
  EXPECT_EQ(kob::indexState(path()), kob::IndexState::Unusable);
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
