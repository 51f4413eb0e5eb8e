// SPDX-License-Identifier: GPL-2.0-or-later
// The kobpack tool, run as a program in a scratch folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>

#include "kob.h"
#include "test_util.h"
#include "tool_test_util.h"

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

  // Runs kobpack in the scratch folder, after `setup` (shell commands),
  // through `runner` (a command that runs another, or "").
  Result run(const std::string& setup = "", const std::string& runner = "",
             const std::string& arguments = "ignored arguments") {
    std::string command = "cd '" + dir.root().string() + "' && " +
                          (setup.empty() ? "" : setup + "; ") + "exec " +
                          runner + "'" + KOBPACK_PATH + "' " + arguments +
                          " 2>'" + errorsPath() + "'";
    int status = std::system(command.c_str());
    std::string errors = readFile(errorsPath());
    std::filesystem::remove(errorsPath());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, errors};
  }
  std::string errorsPath() const { return dir.root().string() + ".stderr"; }
  std::string input() const { return dir.path("dictionary.data"); }
  std::string output() const { return dir.path("dictionary.data.kob"); }
  std::unique_ptr<tooltest::Child> start() {
    return std::make_unique<tooltest::Child>(
        dir.root().string(), std::vector<std::string>{KOBPACK_PATH});
  }
  mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  // Fails unless the folder holds only `names`.
  void expectOnly(std::set<std::string> names) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, names);
  }

  // A failed run: status 1, one "kobpack: " line, the old output intact.
  void expectFailure(const Result& result, const std::string& reason,
                     bool withArguments = true) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors.rfind("kobpack: ", 0), 0u) << result.errors;
    EXPECT_NE(result.errors.find(reason), std::string::npos) << result.errors;
    // Arguments are ignored, which a failure says.
    EXPECT_EQ(result.errors.find(" (kobpack takes no arguments: it packs "
                                 "dictionary.data in the current folder)\n") !=
                  std::string::npos,
              withArguments)
        << result.errors;
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
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  ASSERT_FALSE(headers.empty());
  EXPECT_EQ(headers[0].dataSize, 16384u);
}

TEST_F(Kobpack, MissingInputFailsAndKeepsTheOldOutput) {
  writeFile(output(), "precious");
  expectFailure(run(), "No such file or directory");
  expectFailure(run("", "", ""), "No such file or directory", false);
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
  expectFailure(run(), "dictionary.data: chunk 1 at offset ");
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
  // Root may write anywhere: run as another user.
  const std::optional<tooltest::OtherUser> user = tooltest::otherUser();
  if (!user) GTEST_SKIP() << "no user other than root can be had";
  writeFile(input(), "some data");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.root().c_str(), user->uid, user->gid), 0);
  }
  std::filesystem::permissions(
      dir.root(),
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  expectFailure(run("", user->prefix), "Permission denied");
  expectOnly({"dictionary.data"});
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

// The mode is the one fopen would give, whatever the input's: the output
// is private only while it is written.
TEST_F(Kobpack, OutputGetsTheModeFopenGivesWhoeverRunsIt) {
  std::mt19937 rng(11);
  const std::string data = kobtest::makeData(30000, rng);
  writeFile(input(), data);
  ASSERT_EQ(chmod(input().c_str(), 0600), 0);
  for (const char* mask : {"022", "077", "002"}) {
    EXPECT_EQ(run(std::string("umask ") + mask).status, 0);
    EXPECT_EQ(modeOf(output()), 0666 & ~std::stoul(mask, nullptr, 8)) << mask;
  }

  const std::optional<tooltest::OtherUser> user = tooltest::otherUser();
  if (!user) GTEST_SKIP() << "no user other than root can be had";
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.root().c_str(), user->uid, user->gid), 0);
    ASSERT_EQ(chown(input().c_str(), user->uid, user->gid), 0);
    ASSERT_EQ(chown(output().c_str(), user->uid, user->gid), 0);
  }
  EXPECT_EQ(run("umask 027", user->prefix).status, 0);
  EXPECT_EQ(modeOf(output()), 0640u);
  struct stat info {};
  ASSERT_EQ(stat(output().c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, user->uid);
  EXPECT_EQ(kobtest::decodeIndependently(readFile(output())), data);
}

TEST_F(Kobpack, TemporaryFileIsPrivateAndAPlantedLinkIsNeverFollowed) {
  std::mt19937 rng(12);
  const std::string data = kobtest::makeData(50000, rng);
  writeFile(input(), data);
  writeFile(dir.path("victim"), "precious");
  // A link waiting under the first name kobpack tries is passed over.
  ASSERT_EQ(symlink("victim", dir.path(".kobaaaaaa").c_str()), 0);
  EXPECT_EQ(
      run(std::string("export LD_PRELOAD='") + PREDICTABLE_RANDOM_PATH + "'")
          .status,
      0);
  EXPECT_EQ(kobtest::decodeIndependently(readFile(output())), data);
  EXPECT_EQ(readFile(dir.path("victim")), "precious");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path(".kobaaaaaa")));
  std::filesystem::remove(dir.path(".kobaaaaaa"));

  // A link swapped in the moment the temporary file is made (by a
  // preloaded openat) is neither written through nor renamed into place.
  writeFile(output(), "old");
  expectFailure(
      run(std::string("export LD_PRELOAD='") + SWAP_ON_CREATE_PATH + "'"),
      "dictionary.data.kob: its temporary file was replaced");
  EXPECT_EQ(readFile(dir.path("victim")), "precious");
  EXPECT_EQ(readFile(output()), "old");

  // While kobpack writes it (it waits on a FIFO meanwhile), the temporary
  // file is its owner's only.
  std::filesystem::remove(input());
  ASSERT_EQ(mkfifo(input().c_str(), 0600), 0);
  std::unique_ptr<tooltest::Child> child = start();
  tooltest::FifoWriter writer(input(), *child);
  writer.write(data.substr(0, 1000));
  const std::string temporary =
      tooltest::waitForTemporary(dir.root().string(), *child);
  ASSERT_FALSE(temporary.empty());
  EXPECT_EQ(modeOf(dir.path(temporary)), 0600u);
  writer.write(data.substr(1000));
  writer.close();
  EXPECT_EQ(child->exitStatus(), 0);
  EXPECT_EQ(kobtest::decodeIndependently(readFile(output())), data);
  expectOnly({"dictionary.data", "dictionary.data.kob", "victim"});
}

TEST_F(Kobpack, AFifoOrDeviceNamedDictionaryDataIsReadWholeAndKept) {
  std::mt19937 rng(13);
  const std::string data = kobtest::makeData(200000, rng);
  writeFile(dir.path("data"), data);
  ASSERT_EQ(mkfifo(input().c_str(), 0600), 0);
  EXPECT_EQ(run("(cat data >dictionary.data &)").status, 0);
  EXPECT_EQ(kobtest::decodeIndependently(readFile(output())), data);
  EXPECT_EQ(modeOf(input()), 0600u);
  struct stat info {};
  ASSERT_EQ(lstat(input().c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));

  if (geteuid() != 0) return;  // mknod needs root
  std::filesystem::remove(input());
  ASSERT_EQ(mknod(input().c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  EXPECT_EQ(run().status, 0);
  EXPECT_EQ(readFile(output()).size(), 12u);
  ASSERT_EQ(lstat(input().c_str(), &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  expectOnly({"data", "dictionary.data", "dictionary.data.kob"});
}

// Each signal removes the temporary file and ends kobpack as the signal
// does (exit status 128 + its number, to a shell); the old output stays.
TEST_F(Kobpack, SignalsRemoveTheTemporaryFileAndKeepTheOldOutput) {
  std::mt19937 rng(14);
  const std::string data = kobtest::makeData(100000, rng);
  ASSERT_EQ(mkfifo(input().c_str(), 0600), 0);
  writeFile(output(), "precious");
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signalNumber));
    std::unique_ptr<tooltest::Child> child = start();
    tooltest::FifoWriter writer(input(), *child);
    writer.write(data);
    ASSERT_FALSE(
        tooltest::waitForTemporary(dir.root().string(), *child).empty());
    kill(child->id(), signalNumber);
    const int status = child->wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber);
    EXPECT_EQ(readFile(output()), "precious");
    expectOnly({"dictionary.data", "dictionary.data.kob"});
  }
}

}  // namespace
