// SPDX-License-Identifier: GPL-2.0-or-later
// Reading a packed file through std::istream answers as std::ifstream does
// on the plain file.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "kob_streambuf.h"
#include "test_util.h"

namespace {

class StreamBuf : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(kobtest::testSeed("StreamBuf"));
    data = kobtest::makeData(70000, rng);
    kobtest::writeFile(dir.path("plain"), data);
    kobtest::packFile(dir.path("packed.kob"), data, 1000, rng);
  }
  kobtest::TempDir dir;
  std::string data;
};

TEST_F(StreamBuf, LinesAndWordsMatchThePlainFile) {
  for (const char* name : {"packed.kob", "plain"}) {
    KobFile file(dir.path(name).c_str(), READ);
    KobStreamBuf buffer(file);
    std::istream packed(&buffer);
    std::ifstream plain(dir.path("plain"), std::ios::binary);
    std::string a, b;
    while (std::getline(plain, b)) {
      ASSERT_TRUE(std::getline(packed, a));
      ASSERT_EQ(a, b);
    }
    EXPECT_FALSE(std::getline(packed, a));

    packed.clear();
    plain.clear();
    packed.seekg(0);
    plain.seekg(0);
    while (plain >> b) {
      ASSERT_TRUE(packed >> a);
      ASSERT_EQ(a, b);
    }
    EXPECT_FALSE(packed >> a);
  }
}

TEST_F(StreamBuf, SeeksAndTellsAsTheFileStreamDoes) {
  std::mt19937 rng(kobtest::testSeed("SeeksAndTells"));
  KobFile file(dir.path("packed.kob").c_str(), READ);
  KobStreamBuf buffer(file);
  std::istream packed(&buffer);
  std::ifstream plain(dir.path("plain"), std::ios::binary);
  for (int i = 0; i < 500; ++i) {
    std::streamoff offset = rng() % (data.size() + 1);
    switch (rng() % 3) {
      case 0:
        packed.seekg(offset);
        plain.seekg(offset);
        break;
      case 1:
        offset -= static_cast<std::streamoff>(plain.tellg());
        packed.seekg(offset, std::ios::cur);
        plain.seekg(offset, std::ios::cur);
        break;
      default:
        offset = -static_cast<std::streamoff>(rng() % (data.size() + 1));
        packed.seekg(offset, std::ios::end);
        plain.seekg(offset, std::ios::end);
        break;
    }
    ASSERT_EQ(packed.tellg(), plain.tellg());
    std::string a(rng() % 9000, '\0'), b(a.size(), '\0');
    packed.read(a.data(), static_cast<std::streamsize>(a.size()));
    plain.read(b.data(), static_cast<std::streamsize>(b.size()));
    ASSERT_EQ(packed.gcount(), plain.gcount());
    ASSERT_EQ(a, b);
    ASSERT_EQ(packed.eof(), plain.eof());
    packed.clear();
    plain.clear();
    ASSERT_EQ(packed.tellg(), plain.tellg());
  }
}

TEST_F(StreamBuf, SeekPastTheEndFails) {
  KobFile file(dir.path("packed.kob").c_str(), READ);
  KobStreamBuf buffer(file);
  std::istream packed(&buffer);
  packed.seekg(static_cast<std::streamoff>(data.size()) + 5);
  EXPECT_TRUE(packed.fail());
  packed.clear();
  packed.seekg(-1, std::ios::end);
  EXPECT_EQ(packed.get(), static_cast<unsigned char>(data.back()));
}

}  // namespace
