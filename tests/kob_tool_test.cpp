// The kob command, run as a program in a scratch folder.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "kob.h"
#include "test_util.h"

namespace {

using kobtest::fileExists;
using kobtest::readFile;
using kobtest::writeFile;

class KobTool : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string out;
    std::string errors;
  };

  // Runs a shell command in the scratch folder, capturing its output.
  Result shell(const std::string& command) {
    const std::string out = dir.root().string() + ".out";
    const std::string errors = dir.root().string() + ".err";
    const std::string line = "cd '" + dir.root().string() + "' && (" + command +
                             ") >'" + out + "' 2>'" + errors + "'";
    int status = std::system(line.c_str());
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out),
                  readFile(errors)};
    std::filesystem::remove(out);
    std::filesystem::remove(errors);
    return result;
  }
  // Runs kob with `arguments` (shell words), after `prefix`: shell commands
  // ending in ";", or a pipe ending in "|" that feeds standard input.
  Result kob(const std::string& arguments, const std::string& prefix = "") {
    const bool piped = !prefix.empty() && prefix.back() == '|';
    return shell(prefix + " '" + KOB_PATH + "' " + arguments +
                 (piped ? "" : " </dev/null"));
  }
  std::string path(const std::string& name) const { return dir.path(name); }
  std::string makeInput(const std::string& name, std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(size));
    std::string data = kobtest::makeData(size, rng);
    writeFile(path(name), data);
    return data;
  }
  // Fails unless the folder holds exactly `names`.
  void expectOnly(std::set<std::string> names) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, names);
  }

  kobtest::TempDir dir;
};

TEST_F(KobTool, PacksAndUnpacksFilesKeepingTheInputs) {
  std::string data = makeInput("words.txt", 100000);
  Result packed = kob("words.txt");
  EXPECT_EQ(packed.status, 0);
  EXPECT_EQ(packed.errors, "");
  EXPECT_EQ(kobtest::decodeIndependently(readFile(path("words.txt.kob"))),
            data);
  EXPECT_EQ(readFile(path("words.txt")), data);

  std::filesystem::remove(path("words.txt"));
  EXPECT_EQ(kob("-d words.txt.kob").status, 0);
  EXPECT_EQ(readFile(path("words.txt")), data);
  expectOnly({"words.txt", "words.txt.kob"});
}

TEST_F(KobTool, RoundTripsStandardInputAndOutput) {
  std::string data = makeInput("in", 70000);
  Result packed = kob("-c in");
  EXPECT_EQ(packed.status, 0);
  EXPECT_EQ(kobtest::decodeIndependently(packed.out), data);
  writeFile(path("in.kob"), packed.out);
  EXPECT_EQ(kob("-d", "cat in.kob |").out, data);
  EXPECT_EQ(kob("-", "cat in |").out, packed.out);
  EXPECT_EQ(kob("-d -c in.kob").out, data);
}

TEST_F(KobTool, ThreadsChangeNothingInTheOutput) {
  std::string data = makeInput("dictionary.data", 300000);
  ASSERT_EQ(kob("-c -T 1 dictionary.data").status, 0);
  std::string one = kob("-c -T 1 dictionary.data").out;
  EXPECT_EQ(kob("-c -T 2 dictionary.data").out, one);
  EXPECT_EQ(kob("-c -T 0 dictionary.data").out, one);
  EXPECT_EQ(kob("-c -T 3 -B 1000 dictionary.data").out,
            kob("-c -B 1000 dictionary.data").out);
  std::string command =
      "cd '" + dir.root().string() + "' && '" + KOBPACK_PATH + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFile(path("dictionary.data.kob")), one);
}

TEST_F(KobTool, TestModeNamesTheFirstDamagedChunk) {
  makeInput("d", 5000);
  ASSERT_EQ(kob("-B 1000 d").status, 0);
  Result good = kob("-t -v d.kob");
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out, "d.kob: OK\n");
  EXPECT_EQ(kob("-t d.kob").out, "");

  std::string packed = readFile(path("d.kob"));
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  std::string spoiled = packed;
  kobtest::spoilPayload(spoiled, headers[2]);
  writeFile(path("d.kob"), spoiled);
  Result bad = kob("-t -v d.kob");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.errors, "kob: d.kob: chunk 2 at offset " +
                            std::to_string(headers[2].offset) +
                            ": payload rejected by the decompressor\n");

  writeFile(path("d.kob"), packed.substr(0, headers[3].offset + 3));
  EXPECT_NE(kob("-t d.kob").errors.find("chunk 3 at offset"),
            std::string::npos);
  writeFile(path("d.kob"), packed + "x");
  EXPECT_NE(kob("-t d.kob").errors.find("data after the end marker"),
            std::string::npos);
}

TEST_F(KobTool, ListsSizesRatioAndChunks) {
  makeInput("l", 2500);
  ASSERT_EQ(kob("-B 1000 l").status, 0);
  const std::size_t packedSize = readFile(path("l.kob")).size();
  Result listed = kob("-l l.kob");
  EXPECT_EQ(listed.status, 0);
  char row[128];
  std::snprintf(row, sizeof row, "%12zu %12d %6.1f%% %8d %10d  l.kob\n",
                packedSize, 2500, 100.0 * packedSize / 2500, 3, 1000);
  EXPECT_EQ(listed.out,
            "      packed     unpacked   ratio   chunks chunk size  name\n" +
                std::string(row));
  Result verbose = kob("-l -v l.kob");
  EXPECT_NE(verbose.out.find("position"), std::string::npos);
  EXPECT_EQ(std::count(verbose.out.begin(), verbose.out.end(), '\n'), 6);
}

TEST_F(KobTool, RangesMatchTheSameBytesOfTheOriginal) {
  std::string data = makeInput("r", 60000);
  ASSERT_EQ(kob("-B 4096 r").status, 0);
  struct Range {
    std::size_t offset, size;
  };
  for (Range r : {Range{0, 100}, Range{30000, 500}, Range{4000, 9000},
                  Range{59990, 100}, Range{70000, 10}}) {
    Result out = kob("-d -b " + std::to_string(r.offset) + " -s " +
                     std::to_string(r.size) + " r.kob");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out,
              r.offset < data.size() ? data.substr(r.offset, r.size) : "");
  }
  EXPECT_EQ(kob("-d -b 59000 r.kob").out, data.substr(59000));
  EXPECT_EQ(kob("-d -s 10 r.kob").out, data.substr(0, 10));
}

TEST_F(KobTool, RangeReadsOnlyTheChunksThatHoldIt) {
  std::string data = makeInput("r", 40000);
  ASSERT_EQ(kob("-B 4096 r").status, 0);
  std::string packed = readFile(path("r.kob"));
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  for (std::size_t i : {0u, 1u, 5u, 8u}) {  // the range lies in chunks 2 to 4
    kobtest::spoilPayload(packed, headers[i]);
  }
  writeFile(path("r.kob"), packed);
  Result out = kob("-d -b 9000 -s 8000 r.kob");
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.out, data.substr(9000, 8000));
  EXPECT_EQ(kob("-d -b 1000 -s 10 r.kob").status, 1);
}

TEST_F(KobTool, RefusesWithTheRightExitStatus) {
  makeInput("a", 1000);
  writeFile(path("a.kob"), "precious");
  Result exists = kob("a");
  EXPECT_EQ(exists.status, 2);
  EXPECT_EQ(exists.errors,
            "kob: a.kob: already exists; skipped (use -f to overwrite)\n");
  EXPECT_EQ(readFile(path("a.kob")), "precious");
  EXPECT_EQ(kob("-f a").status, 0);

  EXPECT_EQ(kob("a.kob").status, 2);    // already packed
  EXPECT_EQ(kob("-d a").status, 2);     // no .kob suffix
  EXPECT_EQ(kob("-d -c a").status, 1);  // told where, but not packed
  EXPECT_EQ(kob("missing").status, 1);
  EXPECT_EQ(kob("-o x a a.kob").status, 1);  // -o with two inputs
  EXPECT_EQ(kob("-b 5 a.kob").status, 1);    // a range needs -d
  EXPECT_EQ(kob("-B 0 a").status, 1);
  EXPECT_EQ(kob("-B 65536 a").status, 1);
  EXPECT_EQ(kob("--no-such-option").status, 1);
  makeInput("b", 10);
  EXPECT_EQ(kob("b a.kob").status, 2);  // one packed, one skipped
  EXPECT_EQ(kob("-f b missing a.kob").status, 1);
  EXPECT_EQ(kob("-V").out, "kob 0.1.0\n");
  EXPECT_NE(kob("--help").out.find("Exit status"), std::string::npos);
}

TEST_F(KobTool, LeavesNoOutputBehindOnFailure) {
  makeInput("big", 200000);
  std::mt19937 rng(3);
  std::string noise(300000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  writeFile(path("noise"), noise);
  Result full = kob("noise", "trap '' XFSZ; ulimit -f 64;");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.errors.find("kob: noise.kob: cannot write: File too large"),
            std::string::npos)
      << full.errors;

  ASSERT_EQ(kob("big").status, 0);
  std::string packed = readFile(path("big.kob"));
  writeFile(path("big.kob"), packed.substr(0, packed.size() / 2));
  std::filesystem::rename(path("big"), path("big.orig"));
  Result damaged = kob("-d big.kob");
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.errors.find("damaged"), std::string::npos);
  expectOnly({"big.kob", "big.orig", "noise"});
}

TEST_F(KobTool, RemovesTheInputOnlyAfterSuccess) {
  std::string data = makeInput("gone", 5000);
  EXPECT_EQ(kob("--rm gone").status, 0);
  EXPECT_FALSE(fileExists(path("gone")));
  EXPECT_EQ(kob("--rm -d gone.kob").status, 0);
  EXPECT_EQ(readFile(path("gone")), data);
  expectOnly({"gone"});
}

TEST_F(KobTool, ShowsProgressOnlyOnATerminalAndNotWhenQuiet) {
  // Two-byte chunks make 3 MB take a few seconds; `script` gives kob a
  // terminal.
  makeInput("slow", 3000000);
  auto onTerminal = [&](const std::string& arguments) {
    return shell("script -qec \"'" + std::string(KOB_PATH) + "' " + arguments +
                 " slow\" /dev/null")
        .out;
  };
  EXPECT_NE(onTerminal("-f -B 2").find("MiB/s"), std::string::npos);
  EXPECT_EQ(onTerminal("-q -f -B 2").find("MiB/s"), std::string::npos);
  EXPECT_EQ(kob("-f -B 2 slow").errors, "");
}

}  // namespace
