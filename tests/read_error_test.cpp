// SPDX-License-Identifier: GPL-2.0-or-later
// A read that fails is not damage: the reader stops and says why, and the
// scanner behind `kob -t` says the same. Reads are made to fail here by a
// pread64 that this test binary puts in front of the C library's.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "kob.h"
#include "kob_pack.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// Reads that succeed before the next one fails with EIO; negative: none
// fails.
std::atomic<int> readsBeforeFailure{-1};

}  // namespace

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off_t);
  static const auto real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread64"));
  if (readsBeforeFailure.load() == 0) {
    errno = EIO;
    return -1;
  }
  if (readsBeforeFailure.load() > 0) --readsBeforeFailure;
  return real(fd, buf, count, offset);
}

namespace {

class ReadError : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(3);
    data = kobtest::makeData(300000, rng);
    kobtest::packFile(path(), data, 4096, rng);
  }
  void TearDown() override { readsBeforeFailure = -1; }
  std::string path() const { return dir.path("r.kob"); }

  kobtest::TempDir dir;
  std::string data;
};

TEST_F(ReadError, StopsTheReaderWithItsErrnoNotAsDamage) {
  for (int after : {0, 1, 2, 3}) {
    KobFile reader(path().c_str(), READ);
    ASSERT_TRUE(reader.isCompressed());
    readsBeforeFailure = after;
    std::vector<unsigned char> buf(data.size());
    const int got = reader.read(buf.data(), static_cast<unsigned>(buf.size()));
    readsBeforeFailure = -1;
    EXPECT_LT(got, static_cast<int>(data.size()));
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + got),
              data.substr(0, got));
    EXPECT_TRUE(reader.hasError());
    EXPECT_EQ(reader.damage(), kob::Damage::None);
    EXPECT_EQ(reader.ioError(), EIO);
    EXPECT_EQ(reader.read(buf.data(), 10), 0) << "stopped for good";
  }
}

TEST_F(ReadError, TheScannerAndTheSharedReaderSayTheSame) {
  const int fd = ::open(path().c_str(), O_RDONLY);
  readsBeforeFailure = 3;
  const kob::ScanReport scan = kob::scanPacked(fd, true);
  readsBeforeFailure = -1;
  ::close(fd);
  EXPECT_TRUE(scan.packed);
  EXPECT_FALSE(scan.failure.isDamage());
  EXPECT_EQ(scan.failure.error, EIO);

  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(path().c_str()).ok());
  readsBeforeFailure = 0;
  char buf[100];
  const kob::ReadResult got = shared.readAt(250000, buf, sizeof buf);
  readsBeforeFailure = -1;
  EXPECT_EQ(got.failure.damage, kob::Damage::None);
  EXPECT_EQ(got.failure.error, EIO);
  EXPECT_TRUE(shared.readAt(250000, buf, sizeof buf).ok()) << "that read only";
}

// The read that tests for the signature fails: no entry point takes the
// file for plain data, or for one without the signature; each names the
// failed read.
TEST_F(ReadError, AFailedFirstReadIsNamedByEveryEntryPoint) {
  readsBeforeFailure = 0;
  KobFile file(path().c_str(), READ);
  kob::SharedReader shared;
  const kob::Failure sharedOpened = shared.open(path().c_str());
  const int fd = ::open(path().c_str(), O_RDONLY);
  const kob::ScanReport scan = kob::scanPacked(fd, true);
  ::close(fd);
  readsBeforeFailure = -1;

  EXPECT_FALSE(file.isCompressed());
  EXPECT_TRUE(file.hasError());
  EXPECT_EQ(file.failure().error, EIO);
  EXPECT_EQ(sharedOpened.error, EIO);
  EXPECT_FALSE(scan.packed);
  EXPECT_EQ(scan.failure.error, EIO);
}

}  // namespace
