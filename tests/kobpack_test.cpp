// SPDX-License-Identifier: GPL-2.0-or-later
// The kobpack tool, run as a program in a scratch folder: one table of
// what is there before, how it runs, and what it says and leaves. Its
// output goes through the careful output file (see output_file_test.cpp);
// here only that it does.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>

#include "kob.h"
#include "kob_tool_fixture.h"
#include "test_util.h"
#include "tool_test_util.h"

namespace {

using kobtest::readFile;
using kobtest::writeFile;

constexpr char kInput[] = "dictionary.data";
constexpr char kOutput[] = "dictionary.data.kob";

// One run: shell commands run first in a fresh folder (which holds the
// data in `data`, packed in 1000-byte chunks in `data.kob`, an old output
// and `victim` that hold "precious"), kobpack run after `runner` (a command
// that runs another); the exit status, the start of its message ("" for
// none), what the output then holds ("" for the data packed, "precious" for
// the old one kept) and its mode, and the folder's entries besides `data`,
// `data.kob` and `victim`, which is never written. Arguments are ignored,
// which a failure says when there were some.
struct Packing {
  std::string setup;
  std::string runner;
  int status;
  std::string said;
  std::string output;
  mode_t mode;
  std::set<std::string> left;
  std::string arguments = "ignored arguments";
};

TEST(Kobpack, EachRunEndsAsItShouldAndLeavesWhatItShould) {
  std::mt19937 rng(7);
  const std::string data = kobtest::makeData(200000, rng);
  const std::optional<tooltest::OtherUser> user = tooltest::otherUser();
  const bool root = geteuid() == 0;
  const mode_t fopenMode = 0666 & ~kobtest::currentUmask();
  const std::string preload = "env LD_PRELOAD='" + std::string(PREDICTABLE_RANDOM_PATH) + "' ";
  const std::set<std::string> both = {kInput, kOutput};
  std::vector<Packing> runs = {
      // The mode fopen gives, whoever runs it, whatever the input's.
      {"cp data dictionary.data; chmod 600 dictionary.data", "", 0, "", "", fopenMode, both},
      {"cp data dictionary.data; umask 077", "", 0, "", "", 0600, both},
      {"cp data dictionary.data; umask 002", "", 0, "", "", 0664, both},
      // A packed input is packed afresh from its data, in 16 KiB chunks.
      {"cp data.kob dictionary.data", "", 0, "", "", fopenMode, both},
      // A FIFO is read to its end, and left where it is.
      {"mkfifo dictionary.data; (cat data >dictionary.data &)", "", 0, "", "", fopenMode, both},
      // A link planted under the first name it tries is passed over.
      {"cp data dictionary.data; ln -s victim .kobaaaaaa", preload, 0, "", "", fopenMode,
       {kInput, kOutput, ".kobaaaaaa"}},
      // Every failure keeps the old output and leaves nothing else.
      {"", "", 1, "dictionary.data: cannot open: No such file or directory", "precious", 0,
       {kOutput}},
      {"", "", 1, "dictionary.data: cannot open: No such file or directory", "precious", 0,
       {kOutput}, ""},
      {"mkdir dictionary.data", "", 1, "dictionary.data: cannot read: Is a directory",
       "precious", 0, both},
      {"head -c 50000 data.kob >dictionary.data", "", 1, "dictionary.data: chunk ",
       "precious", 0, both},
      {"cp data dictionary.data; trap '' XFSZ; ulimit -f 16", "", 1,
       "dictionary.data.kob: cannot write: File too large", "precious", 0, both},
      {"cp data dictionary.data", "env LD_PRELOAD='" + std::string(SWAP_ON_CREATE_PATH) + "' ", 1,
       "dictionary.data.kob: its temporary file was replaced", "precious", 0, both},
      {"cp data dictionary.data; rm dictionary.data.kob; mkdir dictionary.data.kob", "", 1,
       "dictionary.data.kob: cannot rename into place: Is a directory", "", 0, both},
  };
  // An empty input is the twelve-byte file; so is a device read to its end.
  if (root) {
    runs.push_back({"mknod dictionary.data c 1 3", "", 0, "", "", fopenMode, both});
  }
  if (user) {
    // As another user: the mode of that user's umask, and a folder it
    // cannot write.
    runs.push_back({"cp data dictionary.data; umask 027; chown -R " + std::to_string(user->uid) +
                        " .",
                    user->prefix, 0, "", "", 0640, both});
    runs.push_back({"cp data dictionary.data; rm dictionary.data.kob; chown -R " +
                        std::to_string(user->uid) + " .; chmod 500 .",
                    user->prefix, 1, "dictionary.data.kob: cannot create: Permission denied", "",
                    0, {kInput}});
  }
  for (const Packing& run : runs) {
    SCOPED_TRACE(run.setup + " | " + run.runner);
    kobtest::TempDir dir;
    writeFile(dir.path("data"), run.setup.find("mknod") == std::string::npos ? data : "");
    kobtest::packFile(dir.path("data.kob"), readFile(dir.path("data")), 1000, rng);
    writeFile(dir.path(kOutput), "precious");
    writeFile(dir.path("victim"), "precious");
    const std::string errors = dir.root().string() + ".err";
    const int status = std::system(("cd '" + dir.root().string() + "' && " +
                                    (run.setup.empty() ? "" : run.setup + "; ") + "exec " +
                                    run.runner + "'" + KOBPACK_PATH +
                                    "' " + run.arguments + " 2>'" + errors + "'")
                                       .c_str());
    const std::string said = readFile(errors);
    std::filesystem::remove(errors);
    std::filesystem::permissions(dir.root(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, run.status);
    if (run.said.empty()) {
      EXPECT_EQ(said, "");
    } else {
      // One line: "kobpack: " and why.
      EXPECT_EQ(said.rfind("kobpack: " + run.said, 0), 0u) << said;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
      EXPECT_EQ(said.find(" (kobpack takes no arguments: it packs dictionary.data in the "
                          "current folder)\n") != std::string::npos,
                !run.arguments.empty())
          << said;
    }
    if (run.output.empty() && run.status == 0) {
      const std::string packed = readFile(dir.path(kOutput));
      EXPECT_TRUE(kobtest::decodeIndependently(packed) == readFile(dir.path("data")));
      EXPECT_EQ(kobtest::parseHeaders(packed)[0].dataSize,
                std::min<std::size_t>(16384, readFile(dir.path("data")).size()));
      struct stat info {};
      ASSERT_EQ(lstat(dir.path(kOutput).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, run.mode);
    } else if (!run.output.empty()) {
      EXPECT_EQ(readFile(dir.path(kOutput)), run.output);
    }
    EXPECT_EQ(readFile(dir.path("victim")), "precious");
    std::set<std::string> left = run.left;
    left.insert({"data", "data.kob", "victim"});
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, left);
  }
}

// A signal removes the temporary file and ends kobpack as the signal does;
// the old output stays.
TEST(Kobpack, ASignalLeavesTheOldOutput) {
  kobtest::TempDir dir;
  ASSERT_EQ(mkfifo(dir.path(kInput).c_str(), 0600), 0);
  writeFile(dir.path(kOutput), "precious");
  tooltest::Child child(dir.root().string(), {KOBPACK_PATH});
  tooltest::FifoWriter writer(dir.path(kInput), child);
  writer.write(std::string(100000, 'x'));
  ASSERT_FALSE(tooltest::waitForTemporary(dir.root().string(), child).empty());
  kill(child.id(), SIGTERM);
  const int status = child.wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(readFile(dir.path(kOutput)), "precious");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 2);
}

}  // namespace
