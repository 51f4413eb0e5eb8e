// SPDX-License-Identifier: GPL-2.0-or-later
// Packed files one after another (members, as `cat a.kob b.kob` makes them)
// read as one: through KobFile on a file and on a pipe, a SharedReader, the
// walk, and the tool; anything else after an end marker stays damage.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "kob.h"
#include "kob_index.h"
#include "kob_open.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

struct Members {
  std::string data;
  std::string packed;
  std::size_t count = 0;
};

Members makeMembers(const kobtest::TempDir& dir, std::mt19937& rng,
                    std::size_t count) {
  Members members;
  members.count = count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string data = kobtest::makeData(i == 1 ? 0 : rng() % 50000, rng);
    members.packed +=
        kobtest::packFile(dir.path("member.kob"), data, 1000 + rng() % 20000, rng);
    members.data += data;
  }
  return members;
}

std::string readAll(KobFile& file) {
  std::string out;
  unsigned char block[5000];
  for (int got; (got = file.read(block, sizeof block)) > 0;) {
    out.append(reinterpret_cast<char*>(block), static_cast<std::size_t>(got));
  }
  return out;
}

TEST(Members, ReadAsOneFileByEveryReader) {
  std::mt19937 rng(kobtest::testSeed("Members.ReadAsOne"));
  kobtest::TempDir dir;
  const std::string path = dir.path("ab.kob");
  for (std::size_t count : {2u, 3u, 5u, 70u}) {
   for (bool indexed : {false, true}) {
    const Members members = makeMembers(dir, rng, count);
    kobtest::writeFile(path, members.packed);
    std::filesystem::remove(path + ".kbi");
    SCOPED_TRACE(std::to_string(count) + " members" + (indexed ? ", indexed" : ""));
    if (indexed) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      std::FILE* out = std::fopen((path + ".kbi").c_str(), "wb");
      ASSERT_TRUE(kob::writeIndex(fd, out).ok());
      std::fclose(out);
      ::close(fd);
      EXPECT_EQ(kob::indexState(path), kob::IndexState::Valid);
      // Lookups anywhere land through the index.
      KobFile seeking(path.c_str(), READ);
      for (int i = 0; i < 50 && !members.data.empty(); ++i) {
        const std::int64_t at = static_cast<std::int64_t>(rng() % members.data.size());
        ASSERT_EQ(seeking.seek64(at, 0), at);
        unsigned char byte = 0;
        ASSERT_EQ(seeking.read(&byte, 1), 1);
        EXPECT_EQ(static_cast<char>(byte), members.data[static_cast<std::size_t>(at)]);
      }
    }

    KobFile file(path.c_str(), READ);
    EXPECT_EQ(readAll(file), members.data);
    EXPECT_FALSE(file.hasError());

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::thread feeder([&] {
      const std::string& bytes = members.packed;
      for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(pipeEnds[1], bytes.data() + at,
                                  std::min<std::size_t>(777, bytes.size() - at));
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::close(pipeEnds[1]);
    });
    KobFile stream;
    ASSERT_TRUE(stream.openDescriptor(pipeEnds[0], READ));
    EXPECT_EQ(readAll(stream), members.data);
    EXPECT_FALSE(stream.hasError());
    feeder.join();

    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(path.c_str()).ok());
    EXPECT_EQ(shared.size(), static_cast<std::int64_t>(members.data.size()));
    std::string whole(members.data.size() + 10, '\0');
    const kob::ReadResult got = shared.readAt(0, whole.data(), whole.size());
    EXPECT_TRUE(got.ok());
    EXPECT_EQ(whole.substr(0, got.bytes), members.data);

    std::string walked;
    kob::ScanOptions options;
    options.decompress = true;
    options.threads = 2;
    options.onData = [&](const unsigned char* bytes, std::size_t size) {
      walked.append(reinterpret_cast<const char*>(bytes), size);
      return kob::Failure();
    };
    const kob::ScanReport report = kob::scanPacked(kob::openFile(path), options);
    EXPECT_TRUE(report.ok()) << report.failure.describe();
    EXPECT_EQ(report.contentChecked, indexed);
    EXPECT_EQ(walked, members.data);
    EXPECT_EQ(report.members, count);
    EXPECT_EQ(report.dataSize, members.data.size());
    EXPECT_EQ(report.packedSize, static_cast<std::int64_t>(members.packed.size()));

    std::FILE* salvaged = std::tmpfile();
    const kob::RecoveryReport recovered = kob::recoverPacked(path, salvaged);
    EXPECT_TRUE(recovered.whole()) << recovered.failure.describe();
    EXPECT_EQ(recovered.dataWritten, members.data.size());
    std::rewind(salvaged);
    std::string back(members.data.size() + 1, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), salvaged));
    std::fclose(salvaged);
    EXPECT_EQ(back, members.data);

    const std::string kob = std::string("'") + KOB_PATH + "'";
    ASSERT_EQ(std::system(("cat '" + path + "' | " + kob + " -dc >'" +
                           dir.path("out") + "'")
                              .c_str()),
              0);
    EXPECT_EQ(kobtest::readFile(dir.path("out")), members.data);
   }
  }
}

// What follows an end marker, and what a reader says of it.
TEST(Members, AnythingButASignatureAfterAnEndMarkerIsDamage) {
  std::mt19937 rng(3);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(30000, rng);
  const std::string packed = kobtest::packFile(dir.path("a.kob"), data, 8192, rng);
  const std::string end = packed.substr(packed.size() - 6);
  const struct {
    std::string after;
    kob::Damage damage;
  } cases[] = {
      {"x", kob::Damage::DataAfterEnd},
      {"KOB", kob::Damage::DataAfterEnd},
      {std::string("KOB\x02\0\0", 6), kob::Damage::DataAfterEnd},
      {std::string(6, '\0'), kob::Damage::DataAfterEnd},
      // A signature, then nothing: the next member is cut short.
      {std::string("KOB\x01", 4), kob::Damage::CutShort},
      {std::string("KOB\x01\0\0\0", 7), kob::Damage::CutShort},
      // A member without data: nothing more to read, and no damage.
      {std::string("KOB\x01\0\0", 6) + std::string(6, '\0'), kob::Damage::None},
      // Only the first four bytes of a signature are required.
      {std::string("KOB\x01zz", 6) + std::string(6, '\0'), kob::Damage::None},
  };
  for (const auto& each : cases) {
    kobtest::writeFile(dir.path("f.kob"), packed + each.after);
    SCOPED_TRACE(testing::PrintToString(each.after));
    KobFile file(dir.path("f.kob").c_str(), READ);
    EXPECT_EQ(readAll(file), data);
    EXPECT_EQ(file.damage(), each.damage);
    const kob::ScanReport report = kob::scanPacked(dir.path("f.kob"), true);
    EXPECT_EQ(report.failure.damage, each.damage);
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(dir.path("f.kob").c_str()).ok());
    std::uint64_t size = 0;
    EXPECT_EQ(shared.dataSize(size).damage, each.damage);
  }
}

}  // namespace
