// SPDX-License-Identifier: GPL-2.0-or-later
// kob as people who know gzip, zstd, lzop and bgzip expect it to behave.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "kob.h"
#include "kob_tool_fixture.h"

namespace {

using kobtest::decodeIndependently;
using kobtest::readFile;
using kobtest::writeFile;

using KobHabits = kobtest::KobTool;

TEST_F(KobHabits, KeepIsTakenAndInputsAreKept) {
  const std::string data = makeInput("a", 5000);
  for (const char* keep : {"-k", "--keep"}) {
    std::filesystem::remove(path("a.kob"));
    EXPECT_EQ(kob(std::string(keep) + " a").status, 0) << keep;
    EXPECT_EQ(readFile(path("a")), data);
    EXPECT_EQ(decodeIndependently(readFile(path("a.kob"))), data);
  }
}

// The default writes exactly what KobFile writes; other levels read back.
TEST_F(KobHabits, LevelsAsLzopHasThem) {
  const std::string data = makeInput("a", 300000);
  std::mt19937 rng(1);
  const std::string byKobFile =
      kobtest::packFile(path("reference.kob"), data, 16384, rng);
  ASSERT_EQ(kob("-c a > default.kob").status, 0);
  EXPECT_EQ(readFile(path("default.kob")), byKobFile);
  ASSERT_EQ(kob("-c -8 a > eight.kob").status, 0);
  EXPECT_EQ(readFile(path("eight.kob")), byKobFile);

  std::map<std::string, std::string> by;
  for (const char* level : {"-1", "--fast", "-3", "-6", "-7", "-9", "--best",
                            "--level 5", "-9c", "-c1"}) {
    SCOPED_TRACE(level);
    const bool toStdout = std::string(level).find('c') != std::string::npos;
    const Result packed =
        kob(std::string(level) + (toStdout ? "" : " -c") + " a > out.kob");
    ASSERT_EQ(packed.status, 0) << packed.errors;
    const std::string bytes = readFile(path("out.kob"));
    EXPECT_EQ(decodeIndependently(bytes), data);
    EXPECT_EQ(kob("-dc out.kob").out, data);
    by[level] = bytes;
  }
  // 1 to 6 are one compressor, LZO1X-1; 7 to 9 LZO1X-999, which packs
  // smaller the higher the level.
  EXPECT_NE(by["-1"], byKobFile) << "LZO1X-1 is another compressor";
  for (const char* same : {"--fast", "-3", "-6", "--level 5", "-c1"}) {
    EXPECT_EQ(by[same], by["-1"]) << same;
  }
  EXPECT_LT(by["-7"].size(), by["-6"].size());
  EXPECT_LE(by["-9"].size(), by["-7"].size());
  EXPECT_EQ(by["--best"], by["-9"]);
  EXPECT_EQ(by["-9c"], by["-9"]);
  EXPECT_EQ(kob("-c --level 10 a").status, 1);
  EXPECT_EQ(kob("-c --level 0 a").status, 1);
}

TEST_F(KobHabits, VerboseSaysWhatWasDoneOnStandardError) {
  makeInput("a", 100000);
  const Result packed = kob("-v a");
  EXPECT_EQ(packed.status, 0);
  EXPECT_EQ(packed.out, "");
  EXPECT_TRUE(packed.errors.rfind("a: ", 0) == 0 &&
              packed.errors.find("% -- created a.kob\n") != std::string::npos)
      << packed.errors;
  std::filesystem::rename(path("a"), path("a.orig"));
  const Result unpacked = kob("-v -d a.kob");
  EXPECT_EQ(unpacked.status, 0);
  EXPECT_NE(unpacked.errors.find("a.kob: "), std::string::npos);
  EXPECT_NE(unpacked.errors.find("% -- created a\n"), std::string::npos)
      << unpacked.errors;
  EXPECT_EQ(kob("-t -v a.kob").errors, "a.kob: OK\n");
  EXPECT_EQ(kob("-t -v a.kob").out, "");
}

// As zcat -f: with -f, data that is not packed passes through as it is.
TEST_F(KobHabits, ForcedUnpackingPassesPlainDataThrough) {
  const std::string data = makeInput("plain", 20000);
  EXPECT_EQ(kob("-dc plain").status, 1);
  const Result through = kob("-dcf plain");
  EXPECT_EQ(through.status, 0) << through.errors;
  EXPECT_EQ(through.out, data);
  writeFile(path("notreally.kob"), data);
  EXPECT_EQ(kob("-df notreally.kob").status, 0);
  EXPECT_EQ(readFile(path("notreally")), data);
  EXPECT_EQ(kob("-dcf", "cat plain |").out, data);
}

TEST_F(KobHabits, KobcatUnpacksToStandardOutput) {
  const std::string data = makeInput("a", 30000);
  ASSERT_EQ(kob("a").status, 0);
  const std::string kobcat =
      (std::filesystem::path(KOB_PATH).parent_path() / "kobcat").string();
  ASSERT_TRUE(std::filesystem::exists(kobcat));
  const Result cat = shell("'" + kobcat + "' a.kob a.kob");
  EXPECT_EQ(cat.status, 0) << cat.errors;
  EXPECT_EQ(cat.out, data + data);
  EXPECT_EQ(shell("'" + kobcat + "' < a.kob").out, data);
  EXPECT_FALSE(kobtest::fileExists(path("a.kob.kob")));
}

TEST_F(KobHabits, ARangeImpliesUnpacking) {
  const std::string data = makeInput("r", 100000);
  ASSERT_EQ(kob("r").status, 0);
  EXPECT_EQ(kob("-b 1000 -s 50 r.kob").out, data.substr(1000, 50));
  EXPECT_EQ(kob("-s 10 r.kob").out, data.substr(0, 10));
  EXPECT_EQ(kob("-b 99990 r.kob").out, data.substr(99990));
}

TEST_F(KobHabits, ListingSeveralFilesEndsWithTheirTotals) {
  makeInput("a", 40000);
  makeInput("b", 70000);
  ASSERT_EQ(kob("a b").status, 0);
  const Result one = kob("-l a.kob");
  EXPECT_EQ(one.out.find("totals"), std::string::npos);
  const Result both = kob("-l a.kob b.kob");
  ASSERT_EQ(both.status, 0);
  const std::string last =
      both.out.substr(both.out.rfind('\n', both.out.size() - 2) + 1);
  EXPECT_NE(last.find("(totals: 2 files)"), std::string::npos) << both.out;
  // Packed size, data size and chunks: each the sum of the files' own.
  auto columns = [](const std::string& line) {
    std::istringstream in(line);
    std::uint64_t packed = 0, data = 0, chunks = 0;
    std::string ratio;
    in >> packed >> data >> ratio >> chunks;
    return std::vector<std::uint64_t>{packed, data, chunks};
  };
  const std::vector<std::uint64_t> a = columns(kob("-l a.kob").out.substr(
      kob("-l a.kob").out.find('\n') + 1));
  const std::vector<std::uint64_t> b = columns(kob("-l b.kob").out.substr(
      kob("-l b.kob").out.find('\n') + 1));
  const std::vector<std::uint64_t> sum = columns(last);
  EXPECT_EQ(sum[1], 110000u) << last;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sum[i], a[i] + b[i]) << i << ": " << last;
}

// As gzip: packed data is not read from a terminal without -f.
TEST_F(KobHabits, PackedDataIsNotReadFromATerminal) {
  for (const char* arguments : {"-d", "-t", "-dc", "-l"}) {
    const Result refused = shell("script -qec \"'" + std::string(KOB_PATH) +
                                 "' " + arguments + "\" /dev/null");
    EXPECT_NE(refused.out.find("refusing to read packed data from a "
                               "terminal"),
              std::string::npos)
        << arguments << ": " << refused.out;
  }
}

}  // namespace
