// SPDX-License-Identifier: GPL-2.0-or-later
// What every remote source does, run against nginx (http://) and
// tests/s3_server.py (s3://, every signature checked with botocore's
// signer): random operations compared with the data and the local file,
// the requests each road costs as the server logged them, an object
// replaced under a reader, plain and empty objects, the scan, the salvage
// and the tool in every reading mode. Each server is started once for the
// suite; skipped where nginx or botocore is missing. What is a web
// server's own is in http_test.cpp, what is S3's own in s3_test.cpp.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "http_server.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "kob_tool_fixture.h"
#include "test_util.h"

namespace {

using kobtest::Logged;

#if !KOB_HTTP_BUILT

TEST(RemoteNotBuilt, AUrlFailsWithEprotonosupportAndOneMessage) {
  kobtest::AwsEnvironment aws({{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9"}});
  for (const std::string url : {"http://127.0.0.1:9/x.kob", "s3://bkt/x.kob"}) {
    KobFile file;
    errno = 0;
    EXPECT_FALSE(file.open(url.c_str(), READ)) << url;
    EXPECT_EQ(errno, EPROTONOSUPPORT) << url;
    kob::SharedReader shared;
    EXPECT_EQ(shared.open(url.c_str()).error, EPROTONOSUPPORT) << url;
    EXPECT_EQ(kob::scanPacked(url, false).failure.error, EPROTONOSUPPORT) << url;
    kobtest::TempDir dir;
    const std::string errors = dir.path("errors");
    const int status = std::system(
        (std::string("'") + KOB_PATH + "' -dc " + url + " 2>'" + errors + "' >/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(kobtest::readFile(errors).find("URLs are not supported"), std::string::npos)
        << kobtest::readFile(errors);
  }
}

#else

enum class Kind { Nginx, S3 };

// One fixture for the suite: the servers, started at first use and
// stopped at its end; S3's settings (its temporary key and token, the
// more demanding signature) and quick retries for each test.
class Remote : public kobtest::KobTool, public ::testing::WithParamInterface<Kind> {
 protected:
  static void TearDownTestSuite() { servers().clear(); }
  void SetUp() override {
    if (!server().running()) GTEST_SKIP() << server().why();
    setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
    if (GetParam() == Kind::S3) {
      aws = std::make_unique<kobtest::AwsEnvironment>(
          static_cast<kobtest::S3Server&>(server()).settings(true));
    }
    before = server().settledCount();
  }
  void TearDown() override { aws.reset(); }

  kobtest::ObjectServer& server() {
    auto& slot = servers()[GetParam()];
    if (!slot) {
      if (GetParam() == Kind::Nginx) {
        slot = std::make_unique<kobtest::Nginx>();
      } else {
        slot = std::make_unique<kobtest::S3Server>();
      }
    }
    return *slot;
  }
  // A fresh name for this test's objects, so that no test reads another's.
  std::string name(const std::string& what) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info->name();
    return test.substr(0, test.find('/')) + "/" + what;
  }
  // The requests this test made so far, as the server logged them.
  std::vector<Logged> made() {
    const std::vector<Logged> all = server().requests();
    return std::vector<Logged>(all.begin() + static_cast<long>(std::min(before, all.size())),
                               all.end());
  }
  // Packs `data` into the object `object` (with its index beside it).
  void put(const std::string& object, const std::string& data, int chunkSize, bool indexed) {
    std::mt19937 rng(static_cast<unsigned>(data.size()));
    kobtest::packFile(server().data(object), data, chunkSize, rng);
    if (indexed) kobtest::writeIndexBeside(server().data(object));
  }

  std::unique_ptr<kobtest::AwsEnvironment> aws;
  std::size_t before = 0;

 private:
  static std::map<Kind, std::unique_ptr<kobtest::ObjectServer>>& servers() {
    static std::map<Kind, std::unique_ptr<kobtest::ObjectServer>> running;
    return running;
  }
};

INSTANTIATE_TEST_SUITE_P(Http, Remote, ::testing::Values(Kind::Nginx, Kind::S3),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::Nginx ? "nginx" : "s3";
                         });

// 3 MiB of data packed in 16 KiB chunks, made once for the suite.
const std::string& bigData() {
  static const std::string data = [] {
    std::mt19937 rng(7);
    return kobtest::makeData(3 << 20, rng);
  }();
  return data;
}

// ---------------------------------------------------------------------------
// Random operations, every answer compared with the data and with the same
// file read from the disk; names that need encoding.

TEST_P(Remote, KobFileAndSharedReaderAnswerAsTheLocalFileAndTheData) {
  std::mt19937 rng(kobtest::testSeed("Remote"));
  const std::string names[] = {"f0.kob", "dir/odd name+(1)!\xC3\xA9~/f1.kob",
                               "a?b#c@d;e=f&g.kob"};
  for (int f = 0; f < 3; ++f) {
    const std::string object = name(names[f]);
    const bool indexed = f != 1;
    SCOPED_TRACE(object + (indexed ? ", indexed" : ""));
    const std::size_t size =
        std::uniform_int_distribution<std::size_t>(0, f == 0 ? 1000 : 400000)(rng);
    const std::string data = kobtest::makeData(size, rng);
    put(object, data, std::uniform_int_distribution<int>(200, 65535)(rng), indexed);
    KobFile remote, local;
    ASSERT_TRUE(remote.open(server().url(object).c_str(), READ)) << std::strerror(errno);
    ASSERT_TRUE(local.open(server().data(object).c_str(), READ));
    ASSERT_TRUE(remote.isCompressed());
    std::vector<unsigned char> a(70000), b(70000);
    for (int op = 0; op < kobtest::testRounds(100); ++op) {
      const int kind = std::uniform_int_distribution<int>(0, 3)(rng);
      const auto at = static_cast<std::int64_t>(
          std::uniform_int_distribution<std::size_t>(0, size + 10)(rng));
      SCOPED_TRACE("op " + std::to_string(op) + " kind " + std::to_string(kind));
      if (kind == 0) {
        const auto length = std::uniform_int_distribution<unsigned>(0, 70000)(rng);
        const std::int64_t here = local.tell64();
        const int got = remote.read(a.data(), length);
        ASSERT_EQ(got, local.read(b.data(), length));
        ASSERT_GE(got, 0);
        ASSERT_TRUE(std::string(a.begin(), a.begin() + got) ==
                    data.substr(static_cast<std::size_t>(here), static_cast<std::size_t>(got)));
      } else if (kind == 1) {
        ASSERT_EQ(remote.seek64(at, SEEK_SET), local.seek64(at, SEEK_SET));
      } else if (kind == 2) {
        const std::int64_t by = at - static_cast<std::int64_t>(size / 2);
        ASSERT_EQ(remote.seek64(by, SEEK_CUR), local.seek64(by, SEEK_CUR));
      } else {
        ASSERT_EQ(remote.tell64(), local.tell64());
        ASSERT_EQ(remote.isEOF(), local.isEOF());
      }
      ASSERT_FALSE(remote.hasError()) << remote.failure().describe();
    }
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(server().url(object).c_str()).ok());
    EXPECT_EQ(shared.size(), static_cast<std::int64_t>(size));
    std::vector<char> buffer(50000);
    for (int op = 0; op < kobtest::testRounds(60); ++op) {
      const auto at = std::uniform_int_distribution<std::size_t>(0, size + 5)(rng);
      const auto length = std::uniform_int_distribution<std::size_t>(0, 50000)(rng);
      const kob::ReadResult got = shared.readAt(at, buffer.data(), length);
      ASSERT_TRUE(got.ok()) << got.failure.describe();
      ASSERT_TRUE(std::string(buffer.data(), got.bytes) ==
                  (at < size ? data.substr(at, length) : std::string()));
    }
  }
  // Every request a ranged GET; to S3 signed with the key given, the key
  // encoded as AWS encodes a path.
  const std::vector<Logged> requests = made();
  ASSERT_FALSE(requests.empty());
  bool encoded = false;
  for (const Logged& r : requests) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.range.rfind("bytes=", 0), 0u) << r.name;
    EXPECT_TRUE(r.status == 206 || r.status == 416 || r.status == 404) << r.name << r.status;
    if (GetParam() == Kind::S3) {
      EXPECT_TRUE(r.isSigned) << r.name;
      EXPECT_EQ(r.accessKey, kobtest::kS3TemporaryKey) << r.name;
      EXPECT_TRUE(r.status != 404 || r.code == "NoSuchKey") << r.name;
    }
    encoded |= r.path.find("/odd%20name%2B%281%29%21%C3%A9~/f1.kob") != std::string::npos;
  }
  EXPECT_TRUE(encoded);
}

TEST_P(Remote, ManyThreadsReadOneObjectThroughOneSharedReader) {
  std::mt19937 rng(kobtest::testSeed("RemoteThreads"));
  const std::string data = kobtest::makeData(800000, rng);
  put(name("m.kob"), data, 9000, true);
  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(server().url(name("m.kob")).c_str()).ok());
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 own(t);
      std::vector<char> buffer(20000);
      for (int i = 0; i < 40; ++i) {
        const auto at = std::uniform_int_distribution<std::size_t>(0, data.size())(own);
        const auto length = std::uniform_int_distribution<std::size_t>(0, 20000)(own);
        const kob::ReadResult got = reader.readAt(at, buffer.data(), length);
        if (!got.ok() || std::string(buffer.data(), got.bytes) != data.substr(at, length)) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Requests, as the server logged them

// The data at `at` through a fresh or warm KobFile.
void lookUp(KobFile& file, std::size_t at) {
  unsigned char bytes[100];
  ASSERT_EQ(file.seek64(static_cast<std::int64_t>(at), SEEK_SET), static_cast<std::int64_t>(at));
  ASSERT_EQ(file.read(bytes, sizeof bytes), 100) << file.failure().describe();
  ASSERT_TRUE(std::string(bytes, bytes + 100) == bigData().substr(at, 100));
}

// The server's index is a hint: a cold lookup walks the headers before its
// chunk as it would without, a warm one takes one request.
TEST_P(Remote, WithTheIndexAColdLookupWalksAWarmOneTakesOneAndReadingInOrderFew) {
  const std::string object = name("big.kob");
  put(object, bigData(), 16384, true);
  const auto packedSize = std::filesystem::file_size(server().data(object));
  KobFile file;
  ASSERT_TRUE(file.open(server().url(object).c_str(), READ));
  lookUp(file, 2'000'000);
  std::size_t used = made().size();
  EXPECT_LE(used, 4 + packedSize / (1 << 20));
  bool indexRead = false;
  for (const Logged& r : made()) indexRead |= r.name == object + ".kbi" && r.status == 206;
  EXPECT_TRUE(indexRead);
  for (std::size_t at : {100'000u, 2'900'000u, 1'234'567u}) {
    lookUp(file, at);
    EXPECT_LE(made().size() - used, at > 2'000'000 ? 2u : 1u) << at;
    used = made().size();
  }
  // A shared reader's lookups cost the same.
  used = made().size();
  kob::SharedReader shared;
  ASSERT_TRUE(shared.open(server().url(object).c_str()).ok());
  char some[100];
  ASSERT_TRUE(shared.readAt(2'500'000, some, sizeof some).ok());
  EXPECT_LE(made().size() - used, 4 + packedSize / (1 << 20));
  used = made().size();
  // A chunk the walk passed: one request at most (the walk's run may hold it).
  ASSERT_TRUE(shared.readAt(700'000, some, sizeof some).ok());
  EXPECT_LE(made().size() - used, 1u);
  EXPECT_TRUE(std::string(some, sizeof some) == bigData().substr(700'000, 100));

  // Read in order, from its start: both heads, the first reads, then 1 MiB,
  // 2 MiB and the rest; not one request a chunk, nor a byte twice.
  const std::size_t start = made().size();
  KobFile inOrder;
  ASSERT_TRUE(inOrder.open(server().url(object).c_str(), READ));
  std::string read;
  std::vector<unsigned char> bytes(65536);
  for (int got; (got = inOrder.read(bytes.data(), 65536)) > 0;) {
    read.append(bytes.begin(), bytes.begin() + got);
  }
  ASSERT_TRUE(read == bigData());
  const std::vector<Logged> all = made();
  EXPECT_LE(all.size() - start, 6u);
  long long moved = 0;
  for (std::size_t i = start; i < all.size(); ++i) moved += all[i].bytes;
  EXPECT_LE(moved, static_cast<long long>(std::filesystem::file_size(server().data(object)) +
                                          std::filesystem::file_size(server().data(object + ".kbi"))));
}

TEST_P(Remote, WithoutTheIndexAWalkReadsLargeRangesAndTheMissingIndexIsAskedForOnce) {
  const std::string object = name("big.kob");
  put(object, bigData(), 16384, false);
  const auto packedSize = std::filesystem::file_size(server().data(object));
  KobFile file;
  ASSERT_TRUE(file.open(server().url(object).c_str(), READ));
  lookUp(file, 2'900'000);
  const std::size_t used = made().size();
  // The probe for an index, the first bytes, walks of 1 MiB, the chunk.
  EXPECT_LE(used, 3 + packedSize / (1 << 20) + 1) << used;
  lookUp(file, 1'000'000);
  EXPECT_LE(made().size() - used, 1u);
  int asked = 0;
  for (const Logged& r : made()) {
    if (r.name != object + ".kbi") continue;
    ++asked;
    EXPECT_EQ(r.status, 404);
  }
  EXPECT_EQ(asked, 1);
  // A scan walks every header in as few: the probe, the first bytes, walks.
  const std::size_t before = made().size();
  EXPECT_EQ(kob::scanPacked(server().url(object), false).chunks, (3u << 20) / 16384);
  EXPECT_LE(made().size() - before, 3 + packedSize / (1 << 20) + 1);
}

TEST_P(Remote, AReplacedObjectFailsReadsWithEstaleAndAFreshReaderReadsTheNewOne) {
  std::mt19937 rng(11);
  const std::string first = kobtest::makeData(500000, rng);
  const std::string second = kobtest::makeData(520000, rng);
  const std::string object = name("x.kob");
  put(object, first, 4000, true);
  KobFile file;
  kob::SharedReader shared;
  const std::string url = server().url(object);
  ASSERT_TRUE(file.open(url.c_str(), READ));
  ASSERT_TRUE(shared.open(url.c_str()).ok());
  unsigned char bytes[1000];
  ASSERT_EQ(file.read(bytes, sizeof bytes), 1000);
  char some[1000];
  ASSERT_TRUE(shared.readAt(0, some, sizeof some).ok());

  // Written aside, then renamed over the served one with its index, as a
  // publisher would.
  put(object + ".new", second, 5000, true);
  std::filesystem::rename(server().data(object + ".new.kbi"), server().data(object + ".kbi"));
  std::filesystem::rename(server().data(object + ".new"), server().data(object));

  // The seek walks the headers before its chunk (the index is a hint), or
  // the read reads the chunk: either meets the new object.
  if (file.seek64(400000, SEEK_SET) == 400000) file.read(bytes, sizeof bytes);
  EXPECT_TRUE(file.hasError());
  EXPECT_EQ(file.ioError(), ESTALE) << file.failure().describe();
  const kob::ReadResult stale = shared.readAt(450000, some, sizeof some);
  EXPECT_FALSE(stale.ok());
  EXPECT_EQ(stale.failure.error, ESTALE) << stale.failure.describe();
  // The server refused them for their condition.
  int refused = 0;
  for (const Logged& r : made()) {
    refused += r.name == object && r.status == 412 &&
               (GetParam() != Kind::S3 || r.code == "PreconditionFailed");
  }
  EXPECT_GE(refused, 2);

  KobFile fresh;
  ASSERT_TRUE(fresh.open(url.c_str(), READ));
  ASSERT_EQ(fresh.seek64(510000, SEEK_SET), 510000);
  ASSERT_EQ(fresh.read(bytes, sizeof bytes), 1000);
  EXPECT_TRUE(std::string(bytes, bytes + 1000) == second.substr(510000, 1000));
  kob::SharedReader freshShared;
  ASSERT_TRUE(freshShared.open(url.c_str()).ok());
  EXPECT_EQ(freshShared.size(), 520000);
}

TEST_P(Remote, AnIndexOfAnotherVersionIsNotUsed) {
  std::mt19937 rng(12);
  const std::string first = kobtest::makeData(300000, rng);
  const std::string second = kobtest::makeData(300000, rng);
  const std::string object = name("y.kob");
  put(object, first, 3000, true);
  put(object, second, 7000, false);  // replaced, its old index left in place
  KobFile file;
  ASSERT_TRUE(file.open(server().url(object).c_str(), READ));
  unsigned char bytes[500];
  for (std::int64_t at : {250000, 1000, 123456}) {
    ASSERT_EQ(file.seek64(at, SEEK_SET), at);
    ASSERT_EQ(file.read(bytes, sizeof bytes), 500) << file.failure().describe();
    EXPECT_TRUE(std::string(bytes, bytes + 500) == second.substr(at, 500));
  }
}

TEST_P(Remote, MissingPlainAndEmptyObjectsOpenAsLocalFilesDo) {
  KobFile file;
  kob::SharedReader shared;
  errno = 0;
  EXPECT_FALSE(file.open(server().url(name("none.kob")).c_str(), READ));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(shared.open(server().url(name("none.kob")).c_str()).error, ENOENT);
  errno = 0;
  EXPECT_FALSE(file.open(server().url(name("none.kob")).c_str(), WRITE));
  EXPECT_EQ(errno, EROFS);

  kobtest::writeFile(server().data(name("plain.txt")), "just some text\n");
  kobtest::writeFile(server().data(name("empty")), "");
  ASSERT_TRUE(file.open(server().url(name("plain.txt")).c_str(), READ));
  EXPECT_FALSE(file.isCompressed());
  unsigned char bytes[100];
  ASSERT_EQ(file.read(bytes, sizeof bytes), 15);
  EXPECT_EQ(std::string(bytes, bytes + 15), "just some text\n");
  // It seeks as a plain file does, from its end too, and says where.
  EXPECT_EQ(file.seek64(5, SEEK_SET), 5);
  EXPECT_EQ(file.get(), 's');
  EXPECT_EQ(file.seek64(-5, SEEK_END), 10);
  EXPECT_EQ(file.tell64(), 10);
  ASSERT_EQ(file.read(bytes, sizeof bytes), 5);
  EXPECT_EQ(std::string(bytes, bytes + 5), "text\n");
  EXPECT_EQ(file.seek64(-20, SEEK_END), -1);
  EXPECT_EQ(shared.open(server().url(name("plain.txt")).c_str()).damage,
            kob::Damage::NotPacked);
  ASSERT_TRUE(file.open(server().url(name("empty")).c_str(), READ)) << std::strerror(errno);
  EXPECT_EQ(file.read(bytes, sizeof bytes), 0);
  EXPECT_FALSE(file.hasError());
}

// ---------------------------------------------------------------------------
// The scan, the salvage and the tool

TEST_P(Remote, ScanAndSalvageReadAnObjectAsALocalFile) {
  std::mt19937 rng(9);
  const std::string data = kobtest::makeData(200000, rng);
  const std::string object = name("s.kob");
  std::string packed = kobtest::packFile(server().data(object), data, 8192, rng);
  const kob::ScanReport local = kob::scanPacked(server().data(object), true);
  const kob::ScanReport remote = kob::scanPacked(server().url(object), true);
  ASSERT_TRUE(remote.ok()) << remote.failure.describe();
  EXPECT_EQ(remote.chunks, local.chunks);
  EXPECT_EQ(remote.dataSize, data.size());
  // A chunk's payload spoiled: the salvage loses it alone.
  kobtest::spoilPayload(packed, kobtest::parseHeaders(packed)[5]);
  kobtest::writeFile(server().data(object), packed);
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  const kob::RecoveryReport report = kob::recoverPacked(server().url(object), out);
  ASSERT_TRUE(report.failure.ok()) << report.failure.describe();
  EXPECT_EQ(report.losses, 1u);
  std::string got(data.size() + 1, '\0');
  std::rewind(out);
  got.resize(std::fread(got.data(), 1, got.size(), out));
  std::fclose(out);
  ASSERT_EQ(got.size(), data.size());
  const std::size_t lostAt = 5 * 8192;
  EXPECT_TRUE(got.substr(0, lostAt) == data.substr(0, lostAt));
  EXPECT_TRUE(got.substr(lostAt + 8192) == data.substr(lostAt + 8192));
  EXPECT_EQ(got.substr(lostAt, 8192), std::string(8192, '\0'));
}

TEST_P(Remote, TheToolReadsObjectsInEveryReadingMode) {
  std::mt19937 rng(3);
  const std::string data = kobtest::makeData(300000, rng);
  const std::string object = name("t.kob");
  put(object, data, 8000, true);
  const std::string url = server().url(object);
  const std::string outputs[][3] = {
      // arguments, standard output, the file "t" made
      {"-dc " + url, data, ""},
      {"-b 123456 -s 1000 " + url, data.substr(123456, 1000), ""},
      {"-d -b 123456 -s 1000 " + url, data.substr(123456, 1000), ""},
      {"--recover -c " + url, data, ""},
      {"-dc --index-file " + url + ".kbi " + url, data, ""},
      {"-t " + url, "", ""},
      {"-d " + url, "", data},  // named after the last segment
  };
  for (const auto& [arguments, out, made] : outputs) {
    const Result r = kob(arguments);
    EXPECT_EQ(r.status, 0) << arguments << ": " << r.errors;
    EXPECT_TRUE(r.out == out) << arguments;
    EXPECT_TRUE(kobtest::readFile(path("t")) == made) << arguments;
  }
  Result r = kob("-d " + url);
  EXPECT_EQ(r.status, 2) << r.errors;  // "t" is there: not overwritten without -f
  EXPECT_TRUE(kobtest::readFile(path("t")) == data);
  r = kob("-l " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_NE(r.out.find("300000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(url), std::string::npos) << r.out;

  // Without a name ending in .kob: skipped unless told where to write.
  kobtest::writeFile(server().data(name("t.bin")), kobtest::readFile(server().data(object)));
  r = kob("-d " + server().url(name("t.bin")));
  EXPECT_EQ(r.status, 2) << r.errors;
  kobtest::expectMessage(r.errors, server().url(name("t.bin")) + ": no name ending in .kob");
  r = kob("-d -o out " + server().url(name("t.bin")));
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(kobtest::readFile(path("out")) == data);

  // A missing object: one message naming it, exit status 1.
  r = kob("-dc " + server().url(name("gone.kob")));
  EXPECT_EQ(r.status, 1);
  kobtest::expectMessage(r.errors, server().url(name("gone.kob")) + ": ");
  EXPECT_NE(r.errors.find("No such file or directory"), std::string::npos) << r.errors;
  EXPECT_TRUE(r.out.empty());
}

#endif

}  // namespace
