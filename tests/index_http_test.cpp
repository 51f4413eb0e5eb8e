// SPDX-License-Identifier: GPL-2.0-or-later
// The saved index of an object elsewhere: only its size can match, so it
// is a hint, dropped where the object disagrees with it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <random>

#include "http_server.h"
#include "index_bytes.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

#if KOB_HTTP_BUILT

// Runs kob with `arguments`; its standard output, and its status in
// `status`.
std::string kob(const std::string& arguments, const kobtest::TempDir& dir,
                int& status) {
  const std::string out = dir.path("kob.out");
  const int result = std::system((std::string("'") + KOB_PATH + "' " +
                                  arguments + " >'" + out + "' 2>/dev/null")
                                     .c_str());
  status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return kobtest::readFile(out);
}

// Replaced by an object of the same size with one byte changed, its old
// index left beside it: every fresh reader reads the new object, `kob -t`
// passes, `kob -l` calls the index stale.
TEST(HttpIndexHint, AnObjectReplacedAtTheSameSizeIsReadRightPastItsOldIndex) {
  kobtest::Nginx server;
  if (!server.running()) GTEST_SKIP() << server.why();
  std::mt19937 rng(53);
  std::string data(400000, '\0');
  for (char& c : data) c = static_cast<char>(rng());  // literal payloads
  const std::string path = server.data("x.kob");
  std::string packed = kobtest::packFile(path, data, 4096, rng);
  ASSERT_TRUE(kobtest::saveIndexOf(path).ok());
  const std::string url = server.url("x.kob");
  EXPECT_EQ(kob::indexState(url), kob::IndexState::Unverified);

  const std::vector<kobtest::ChunkHeader> chunks = kobtest::parseHeaders(packed);
  packed[chunks[70].offset + 6 + 500] ^= 0x01;
  kobtest::writeFile(path, packed);
  const std::string now = kobtest::decodeIndependently(packed);

  kobtest::TempDir dir;
  int status = -1;
  EXPECT_EQ(kob("-dc " + url, dir, status), now);
  EXPECT_EQ(status, 0);
  kob("-t " + url, dir, status);
  EXPECT_EQ(status, 0);
  // A hint that disagrees with its file is stale, whatever the mode.
  EXPECT_NE(kob("-l " + url, dir, status).find("stale"), std::string::npos);
  EXPECT_EQ(kob("-b 287000 -s 1000 " + url, dir, status),
            now.substr(287000, 1000));
  for (bool partial : {false, true}) {
    kob::SharedReader shared;
    shared.setPartialDecoding(partial);
    ASSERT_TRUE(shared.open(url.c_str()).ok());
    std::string some(3000, '\0');
    const kob::ReadResult got = shared.readAt(286000, some.data(), some.size());
    EXPECT_TRUE(got.ok()) << got.failure.describe();
    EXPECT_EQ(some, now.substr(286000, 3000));
  }
  const kob::ScanReport scan = kob::scanPacked(url, true);
  EXPECT_TRUE(scan.ok()) << scan.failure.describe();
  EXPECT_EQ(scan.indexState, kob::IndexState::Stale);
}

// A server's index that swaps the data sizes of two chunks of one payload
// size moves no byte, and is stale; one there that names a file here as it
// is, named with --index-file, is a hint all the same.
TEST(HttpIndexHint, AnIndexThereIsAHintWhateverItSays) {
  kobtest::Nginx server;
  if (!server.running()) GTEST_SKIP() << server.why();
  kobtest::TempDir dir;
  const kobtest::LyingIndexes file = kobtest::lyingIndexes(server.data("x.kob"));
  kobtest::writeFile(server.data("x.kob.kbi"), file.swapped);
  // An index of the file here, that names it as it is, served there.
  kobtest::writeFile(dir.path("x.kob"), file.packed);
  ASSERT_TRUE(kobtest::saveIndexOf(dir.path("x.kob"), server.data("here.kbi")).ok());
  const std::string url = server.url("x.kob");
  int status = -1;
  const std::uint64_t at = file.starts[3] + 100;
  EXPECT_EQ(kob("-b " + std::to_string(at) + " -s 300 " + url, dir, status),
            file.data.substr(at, 300));
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(url.c_str()).ok());
  std::string some(300, '\0');
  EXPECT_EQ(shared.readAt(at, some.data(), some.size()).bytes, 300u);
  EXPECT_EQ(some, file.data.substr(at, 300));
  for (const auto& [index, state] : {std::pair{url + ".kbi", "stale"},
                                     std::pair{server.url("here.kbi"), "unverified"}}) {
    EXPECT_NE(kob("-l --json --index-file " + index + " " + dir.path("x.kob"), dir, status)
                  .find(std::string("\"index\":\"") + state + "\""),
              std::string::npos)
        << index;
  }
}

#endif

}  // namespace
