// SPDX-License-Identifier: GPL-2.0-or-later
// The careful output file (support/output_file.h) that every output of the
// tools and the Python module goes through, tried once, in process: private
// while written, renamed into place only when complete and only over what
// it may replace, never through a name someone swapped in, removed on any
// failure, when dropped uncommitted and on SIGINT, SIGTERM and SIGHUP, and
// given the kept file's mode and times, or fopen's mode. The tools' tests
// try only that each goes through it.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>

#include "../support/output_file.h"
#include "test_util.h"

namespace {

using kobsupport::OutputError;
using kobsupport::OutputFile;

std::set<std::string> entriesOf(const kobtest::TempDir& dir) {
  std::set<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
    found.insert(entry.path().filename().string());
  }
  return found;
}

// The name of the temporary file in `dir` (there must be one alone).
std::string temporaryIn(const kobtest::TempDir& dir) {
  std::string found;
  for (const std::string& name : entriesOf(dir)) {
    if (name.rfind(".kob", 0) == 0 && name.size() == 10) {
      EXPECT_TRUE(found.empty()) << found << " and " << name;
      found = name;
    }
  }
  return found;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Each way a commit can go: over nothing or over a file, replacing or not,
// the attributes of a file kept or fopen's mode; what it says and leaves.
TEST(OutputFile, ACommitRenamesIntoPlaceOnlyOverWhatItMayReplace) {
  const struct {
    const char* what;
    bool existing, replace, kept;
    int error;
  } rows[] = {
      {"a new name, fopen's mode", false, false, false, 0},
      {"a new name, the kept file's mode and times", false, false, true, 0},
      {"over a file, replacing", true, true, true, 0},
      {"over a file, not replacing", true, false, false, EEXIST},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    kobtest::TempDir dir;
    const std::string final = dir.path("out");
    if (row.existing) kobtest::writeFile(final, "precious");
    kobtest::writeFile(dir.path("kept"), "");
    ASSERT_EQ(chmod(dir.path("kept").c_str(), 0751), 0);
    const struct timespec times[2] = {{1000000000, 123}, {999999999, 456}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.path("kept").c_str(), times, 0), 0);
    struct stat kept {};
    ASSERT_EQ(stat(dir.path("kept").c_str(), &kept), 0);
    {
      OutputFile out(final);
      ASSERT_FALSE(out.create());
      // Private while it is written, under a name of its own.
      const std::string temporary = temporaryIn(dir);
      ASSERT_FALSE(temporary.empty());
      EXPECT_EQ(modeOf(dir.path(temporary)), 0600u);
      ASSERT_NE(out.stream(), nullptr);
      ASSERT_GE(std::fputs("new bytes", out.stream()), 0);
      const OutputError said = out.commit(row.kept ? &kept : nullptr, row.replace);
      EXPECT_EQ(said.error, row.error);
      EXPECT_EQ(static_cast<bool>(said), row.error != 0);
      if (said) {
        EXPECT_STREQ(said.action, "cannot rename into place");
      }
    }
    struct stat made {};
    ASSERT_EQ(stat(final.c_str(), &made), 0);  // before reading it moves its access time
    EXPECT_EQ(entriesOf(dir), (std::set<std::string>{"kept", "out"}));
    EXPECT_EQ(kobtest::readFile(final), row.error != 0 ? "precious" : "new bytes");
    if (row.error != 0) continue;
    EXPECT_EQ(made.st_mode & 07777, row.kept ? 0751u : kobsupport::defaultFileMode());
    if (row.kept) {
      EXPECT_EQ(made.st_mtim.tv_sec, kept.st_mtim.tv_sec);
      EXPECT_EQ(made.st_mtim.tv_nsec, kept.st_mtim.tv_nsec);
      EXPECT_EQ(made.st_atim.tv_sec, kept.st_atim.tv_sec);
    }
  }
}

TEST(OutputFile, NothingIsLeftBehindWhenItFailsOrIsDroppedUncommitted) {
  kobtest::TempDir dir;
  {
    OutputFile dropped(dir.path("dropped"));
    ASSERT_FALSE(dropped.create());
    ASSERT_FALSE(temporaryIn(dir).empty());
  }
  // Its temporary file swapped for a link to another: neither written
  // through nor renamed into place.
  kobtest::writeFile(dir.path("victim"), "precious");
  {
    OutputFile swapped(dir.path("swapped"));
    ASSERT_FALSE(swapped.create());
    const std::string temporary = dir.path(temporaryIn(dir));
    ASSERT_EQ(unlink(temporary.c_str()), 0);
    ASSERT_EQ(symlink("victim", temporary.c_str()), 0);
    const OutputError said = swapped.commit(nullptr, true);
    ASSERT_TRUE(said);
    EXPECT_NE(std::string(said.action).find("its temporary file was replaced"), std::string::npos);
  }
  EXPECT_EQ(kobtest::readFile(dir.path("victim")), "precious");
  // What cannot be made is said before anything is.
  const long longest = pathconf(dir.root().c_str(), _PC_NAME_MAX);
  const struct {
    std::string final;
    int error;
  } refused[] = {
      {dir.path("missing/out"), ENOENT},
      {dir.path("sub/"), EISDIR},
      {dir.path(std::string(static_cast<std::size_t>(longest) + 1, 'n')), ENAMETOOLONG},
  };
  for (const auto& row : refused) {
    OutputFile out(row.final);
    const OutputError said = out.create();
    EXPECT_EQ(said.error, row.error) << row.final;
    EXPECT_STREQ(said.action, "cannot create");
  }
  EXPECT_EQ(entriesOf(dir), std::set<std::string>{"victim"});
}

// A signal removes what is being written and ends the process as the
// signal does; one ignored when the program started stays ignored.
TEST(OutputFile, ASignalRemovesItAndEndsTheProcessUnlessIgnored) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, -SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    kobtest::TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // As a shell starts a program in the foreground, whatever this
      // process was started with (nohup, a job in the background).
      for (const int each : {SIGINT, SIGTERM, SIGHUP}) signal(each, SIG_DFL);
      if (signalNumber < 0) signal(-signalNumber, SIG_IGN);
      kobsupport::removeUnfinishedOutputsOnSignal();
      OutputFile out(dir.path("out"));
      if (out.create() || std::fputs("bytes", out.stream()) < 0) _exit(3);
      raise(signalNumber < 0 ? -signalNumber : signalNumber);
      _exit(out.commit(nullptr, false) ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (signalNumber < 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(kobtest::readFile(dir.path("out")), "bytes");
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
      EXPECT_TRUE(entriesOf(dir).empty());
    }
  }
}

}  // namespace
