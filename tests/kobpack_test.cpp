// The kobpack tool, run as a program in a scratch folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "kob.h"
#include "test_util.h"

namespace {

using kobtest::fileExists;
using kobtest::readFile;
using kobtest::writeFile;

class Kobpack : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string errors;
  };

  // Runs kobpack in the scratch folder, after `setup` (shell commands).
  Result run(const std::string& setup = "") {
    std::string command = "cd '" + dir.root().string() + "' && " +
                          (setup.empty() ? "" : setup + "; ") + "exec '" +
                          KOBPACK_PATH + "' ignored arguments 2>'" +
                          errorsPath() + "'";
    int status = std::system(command.c_str());
    std::string errors = readFile(errorsPath());
    std::filesystem::remove(errorsPath());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, errors};
  }
  std::string errorsPath() const { return dir.root().string() + ".stderr"; }
  std::string input() const { return dir.path("dictionary.data"); }
  std::string output() const { return dir.path("dictionary.data.kob"); }

  // Fails unless the folder holds only `names`.
  void expectOnly(std::set<std::string> names) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, names);
  }

  // A failed run: status 1, one "kobpack: " line, the old output intact.
  void expectFailure(const Result& result, const std::string& reason) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors.rfind("kobpack: ", 0), 0u) << result.errors;
    EXPECT_NE(result.errors.find(reason), std::string::npos) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1);
  }

  kobtest::TempDir dir;
};

TEST_F(Kobpack, PacksTheDictionarySilently) {
  std::mt19937 rng(7);
  std::string data = kobtest::makeData(40000, rng);
  writeFile(input(), data);
  Result result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
  std::string packed = readFile(output());
  EXPECT_EQ(kobtest::decodeIndependently(packed), data);
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  ASSERT_EQ(headers.size(), 4u);
  EXPECT_EQ(headers[2].dataSize, 7232u);
  expectOnly({"dictionary.data", "dictionary.data.kob"});

  struct stat info;
  ASSERT_EQ(stat(output().c_str(), &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(Kobpack, PacksAnEmptyInputAsTheTwelveByteFile) {
  writeFile(input(), "");
  EXPECT_EQ(run().status, 0);
  EXPECT_EQ(readFile(output()).size(), 12u);
}

TEST_F(Kobpack, RepacksAPackedInputFromItsData) {
  std::mt19937 rng(8);
  std::string data = kobtest::makeData(30000, rng);
  kobtest::packFile(input(), data, 1000, rng);
  EXPECT_EQ(run().status, 0);
  std::string packed = readFile(output());
  EXPECT_EQ(kobtest::decodeIndependently(packed), data);
  EXPECT_EQ(kobtest::parseHeaders(packed)[0].dataSize, 16384u);
}

TEST_F(Kobpack, MissingInputFailsAndKeepsTheOldOutput) {
  writeFile(output(), "precious");
  expectFailure(run(), "No such file or directory");
  EXPECT_EQ(readFile(output()), "precious");
  expectOnly({"dictionary.data.kob"});
}

TEST_F(Kobpack, ReadErrorFailsInsteadOfSpinning) {
  std::filesystem::create_directory(input());
  writeFile(output(), "precious");
  expectFailure(run(), "Is a directory");
  EXPECT_EQ(readFile(output()), "precious");
  expectOnly({"dictionary.data", "dictionary.data.kob"});
}

TEST_F(Kobpack, DamagedPackedInputFailsAndKeepsTheOldOutput) {
  std::mt19937 rng(9);
  std::string packed =
      kobtest::packFile(input(), kobtest::makeData(50000, rng), 16384, rng);
  kobtest::truncateAt(input(), packed.size() / 2);
  writeFile(output(), "precious");
  expectFailure(run(), "damaged");
  EXPECT_EQ(readFile(output()), "precious");
  expectOnly({"dictionary.data", "dictionary.data.kob"});
}

TEST_F(Kobpack, OutputTakenByAFolderFailsAndLeavesNothingBehind) {
  writeFile(input(), "some data");
  std::filesystem::create_directory(output());
  expectFailure(run(), "Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(output()));
  expectOnly({"dictionary.data", "dictionary.data.kob"});
}

TEST_F(Kobpack, UnwritableFolderFailsWithTheReason) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
  writeFile(input(), "some data");
  std::filesystem::permissions(
      dir.root(),
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  expectFailure(run(), "Permission denied");
}

TEST_F(Kobpack, OutputThatCannotBeWrittenFullyFailsAndKeepsTheOldOutput) {
  std::mt19937 rng(10);
  std::string noise(200000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  writeFile(input(), noise);
  writeFile(output(), "precious");
  // A file-size limit of 64 KiB, with the signal that would kill the
  // process ignored, makes the writes fail with EFBIG.
  expectFailure(run("trap '' XFSZ; ulimit -f 128"), "File too large");
  EXPECT_EQ(readFile(output()), "precious");
  expectOnly({"dictionary.data", "dictionary.data.kob"});
}

}  // namespace
