// SPDX-License-Identifier: GPL-2.0-or-later
// The kob command, run as a program in a scratch folder: what takes more
// than one invocation of the table in kob_invocations_test.cpp.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "kob.h"
#include "test_util.h"
#include "kob_tool_fixture.h"
#include "tool_test_util.h"

namespace {

using kobtest::decodeIndependently;
using kobtest::fileExists;
using kobtest::readFile;
using kobtest::writeFile;
using tooltest::Child;
using kobtest::KobTool;
using kobtest::currentUmask;
using kobtest::expectMessage;


// From standard input, an output gets fopen's mode, whatever the file fed
// in; one that appears while kob works is not replaced without -f (kob
// reads a FIFO meanwhile).
TEST_F(KobTool, AnOutputFromStandardInputTakesFopensModeAndReplacesNothingLate) {
  std::string data = makeInput("data", 50000);
  ASSERT_EQ(chmod(path("data").c_str(), 0600), 0);
  EXPECT_EQ(shell(std::string("'") + KOB_PATH + "' -o redirected.kob <data").status, 0);
  EXPECT_EQ(decodeIndependently(readFile(path("redirected.kob"))), data);
  EXPECT_EQ(statOf("redirected.kob").st_mode & 07777, 0666 & ~currentUmask());

  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::unique_ptr<Child> child = start({"-o", "late.kob"}, "/dev/null", path("fifo"));
  tooltest::FifoWriter writer(path("fifo"), *child);
  ASSERT_FALSE(tooltest::waitForTemporary(dir.root().string(), *child).empty());
  writeFile(path("late.kob"), "precious");
  writer.write(data);
  writer.close();
  EXPECT_EQ(child->exitStatus(), 1);
  expectMessage(child->errors(), "late.kob: cannot rename into place: File exists");
  EXPECT_EQ(readFile(path("late.kob")), "precious");
  expectOnly({"data", "redirected.kob", "late.kob", "fifo"});
}

// The parallel packer must write chunks in their order, whatever thread
// compressed each: tiny chunks make many batches and many chunks a batch.
TEST_F(KobTool, ManyThreadsWriteTheSameBytesAsOne) {
  std::string data = makeInput("big", 2 << 20);
  Result one = kob("-c -T 1 -B 64 big");
  ASSERT_EQ(one.status, 0);
  EXPECT_TRUE(decodeIndependently(one.out) == data);
  // Megabytes of packed data: compared without printing them.
  for (const char* threads : {"2", "7", "16", "0"}) {
    EXPECT_TRUE(kob(std::string("-c -B 64 -T ") + threads + " big").out ==
                one.out)
        << threads << " threads";
  }
  EXPECT_TRUE(kob("-B 64 -T 16", "cat big |").out == one.out);
  ASSERT_EQ(kob("-B 64 -T 16 big").status, 0);
  EXPECT_TRUE(readFile(path("big.kob")) == one.out);

  // kobpack and the default chunk size agree with them too: chunk for
  // chunk, and without the seal byte for byte.
  Result defaults = kob("-c -T 3 big");
  EXPECT_TRUE(defaults.out == kob("-c big").out);
  std::filesystem::rename(path("big"), path("dictionary.data"));
  ASSERT_EQ(shell(std::string("'") + KOBPACK_PATH + "'").status, 0);
  EXPECT_TRUE(readFile(path("dictionary.data.kob")) == kobtest::unsealed(defaults.out));
  EXPECT_TRUE(readFile(path("dictionary.data.kob")) ==
              kob("-c --no-seal -T 3 dictionary.data").out);
}

TEST_F(KobTool, ThreadsAndMemoryStayWithinWhatTheInputCanUse) {
  // Asked for 1024 threads of 64 KiB chunks, a 3-byte input has one chunk
  // to compress; a stream of unknown length, or a file of many chunks, gets
  // no more threads than cores. Each thread holds two chunks and the
  // compressor's work area (448 KiB).
  writeFile(path("tiny"), "abc");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::mt19937 rng(12);
  const std::string large = kobtest::makeData(3 << 20, rng);
  writeFile(path("large"), large);
  const long cores = std::max(1u, std::thread::hardware_concurrency());
  long baseline = 0;  // what packing 3 bytes takes, sanitizers and all
  for (const char* input : {"tiny", "fifo", "large"}) {
    Child child(dir.root().string(),
                {PEAK_MEMORY_PATH, path("peak"), KOB_PATH, "-c", "-T", "1024",
                 "-B", "65535", input},
                {}, path("out"));
    if (input == std::string("fifo")) {
      tooltest::FifoWriter writer(path("fifo"), child);
      writer.write("abc");
    }
    EXPECT_EQ(child.exitStatus(), 0) << input;
    EXPECT_EQ(decodeIndependently(readFile(path("out"))),
              input == std::string("large") ? large : "abc");
    const long kibibytes = std::stol(readFile(path("peak")));
    if (baseline == 0) {
      baseline = kibibytes;
      EXPECT_LT(kibibytes, 64 * 1024);
    }
    EXPECT_LT(kibibytes - baseline, 1024 + cores * 1024) << input;
  }

  // Threads compress beside kob's own only when there are two or more to
  // keep busy: as many as cores, but no more than the input has chunks.
  const std::string report = path("threads");
  auto helpers = [&](const std::string& input) {
    const Result packed = kob("-c -T 1024 -B 65535 " + input + " >/dev/null",
                              "LD_PRELOAD='" + std::string(COUNT_THREADS_PATH) +
                                  "' KOB_THREADS_REPORT='" + report + "'");
    EXPECT_EQ(packed.status, 0) << input;
    return std::stol(readFile(report));
  };
  writeFile(path("two"), large.substr(0, 65536));
  const long forTwo = std::min(cores, 2L);
  EXPECT_EQ(helpers("tiny"), 0);
  EXPECT_EQ(helpers("two"), forTwo > 1 ? forTwo : 0);
  const long forLarge = std::min(cores, 49L);  // 3 MiB in 64 KiB chunks
  EXPECT_EQ(helpers("large"), forLarge > 1 ? forLarge : 0);
}


TEST_F(KobTool, ListsSizesSpaceSavedAndChunks) {
  makeInput("l", 2500);
  ASSERT_EQ(kob("-B 1000 l").status, 0);
  const std::size_t packedSize = readFile(path("l.kob")).size();
  Result listed = kob("-l l.kob");
  EXPECT_EQ(listed.status, 0);
  char row[128];
  const double saved = 100.0 * (1 - packedSize / 2500.0);
  // The seal is a sealed file's index.
  std::snprintf(row, sizeof row, "%12zu %12d %6.1f%% %8d %10d %8s  l.kob\n",
                packedSize, 2500, saved, 3, 1000, "sealed");
  EXPECT_EQ(listed.out,
            "      packed     unpacked   saved   chunks chunk size    index  "
            "name\n" +
                std::string(row));
  // Standard input has no saved index to tell of.
  std::snprintf(row, sizeof row, "%12zu %12d %6.1f%% %8d %10d %8s  (stdin)\n",
                packedSize, 2500, saved, 3, 1000, "-");
  EXPECT_EQ(kob("-l", "cat l.kob |").out.substr(listed.out.find('\n') + 1),
            row);
  Result verbose = kob("-l -v l.kob");
  EXPECT_NE(verbose.out.find("position"), std::string::npos);
  EXPECT_EQ(std::count(verbose.out.begin(), verbose.out.end(), '\n'), 6);
}

TEST_F(KobTool, WritesAnIndexThatOnlyItsOwnerMayChange) {
  std::string data = makeInput("i", 300000);
  chmod(path("i").c_str(), 0664);
  ASSERT_EQ(kob("-i -B 4096 i").status, 0);
  struct stat info;
  ASSERT_EQ(stat(path("i.kob.kbi").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u) << "nobody else may write it";
  auto indexColumn = [&] {
    const std::string out = kob("-l i.kob").out;
    return out.substr(out.rfind('\n', out.size() - 2) + 1);
  };
  EXPECT_NE(indexColumn().find(" valid  i.kob"), std::string::npos);
  // Packed again: the index no longer describes the file.
  ASSERT_EQ(kob("-f --no-seal -B 8192 i").status, 0);
  EXPECT_NE(indexColumn().find(" stale  i.kob"), std::string::npos);
  // Asked to pack it again with its index: how to index what is there.
  const Result again = kob("-i i");
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(again.errors,
            "kob: i.kob: already exists; skipped (use -f to overwrite it, or "
            "kob --index i.kob to index it)\n");
  EXPECT_EQ(kob("--index i.kob").status, 0);
  EXPECT_NE(indexColumn().find(" valid  i.kob"), std::string::npos);
  EXPECT_EQ(kob("-d -c -b 299000 -s 1000 i.kob").out, data.substr(299000));

  EXPECT_EQ(kob("-i -c i").status, 1);  // nowhere to put an index
  EXPECT_EQ(kob("-i -t i.kob").status, 1);
  std::string packed = readFile(path("i.kob"));
  std::vector<kobtest::ChunkHeader> headers = kobtest::parseHeaders(packed);
  packed[headers[3].offset + 5] ^= 1;  // a broken back-link
  writeFile(path("bad.kob"), packed);
  Result bad = kob("--index bad.kob");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.errors, "kob: bad.kob: chunk 3 at offset " +
                            std::to_string(headers[3].offset) +
                            " (data from byte 24576): back-link does not "
                            "match the chunk before; not indexed\n");
  EXPECT_FALSE(fileExists(path("bad.kob.kbi")));

  std::filesystem::remove(path("i"));
  EXPECT_EQ(kob("-d --rm i.kob").status, 0);
  EXPECT_EQ(readFile(path("i")), data);
  expectOnly({"i", "bad.kob"});
}




TEST_F(KobTool, OutputsKeepTheInputsModeOwnerAndTimes) {
  const std::string data = makeInput("secret", 30000);
  ASSERT_EQ(chmod(path("secret").c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path("secret").c_str(), 12345, 23456), 0);
  }
  const struct timespec times[2] = {{1000000000, 123}, {999999999, 456}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("secret").c_str(), times, 0), 0);
  // Times as they were before reading, which moves the access time.
  auto expectKept = [this](const struct stat& input, const char* output) {
    const struct stat made = statOf(output);
    EXPECT_EQ(made.st_mode, input.st_mode) << output;
    EXPECT_EQ(made.st_mtim.tv_sec, input.st_mtim.tv_sec) << output;
    EXPECT_EQ(made.st_mtim.tv_nsec, input.st_mtim.tv_nsec) << output;
    EXPECT_EQ(made.st_atim.tv_sec, input.st_atim.tv_sec) << output;
    EXPECT_EQ(made.st_uid, input.st_uid) << output;
    EXPECT_EQ(made.st_gid, input.st_gid) << output;
  };
  const struct stat input = statOf("secret");
  ASSERT_EQ(kob("secret").status, 0);
  expectKept(input, "secret.kob");
  const struct stat packed = statOf("secret.kob");
  ASSERT_EQ(kob("-d -o back secret.kob").status, 0);
  expectKept(packed, "back");
  EXPECT_EQ(readFile(path("back")), data);
}

// Run as a user other than root, who cannot give the output the input's
// group: the output stays as private as the input was.
TEST_F(KobTool, AnotherUsersOutputsAreNoLessPrivateThanTheInputs) {
  const std::optional<tooltest::OtherUser> user = tooltest::otherUser();
  if (!user) GTEST_SKIP() << "no user other than root can be had";
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(dir.root().c_str(), user->uid, user->gid), 0);
  }
  const std::string data = makeInput("mine", 20000);
  writeFile(path("shared"), data);
  ASSERT_EQ(chmod(path("mine").c_str(), 0600), 0);
  ASSERT_EQ(chmod(path("shared").c_str(), 0640), 0);
  if (root) {
    ASSERT_EQ(chown(path("mine").c_str(), user->uid, user->gid), 0);
    ASSERT_EQ(chown(path("shared").c_str(), user->uid, 0), 0);  // group root
  }
  ASSERT_EQ(kob("mine shared", user->prefix).status, 0);
  ASSERT_EQ(kob("-d -o back mine.kob", user->prefix).status, 0);
  for (const char* output : {"mine.kob", "back"}) {
    EXPECT_EQ(statOf(output).st_mode & 07777, 0600u) << output;
    EXPECT_EQ(statOf(output).st_uid, user->uid) << output;
  }
  if (root) {
    // Group root could not be kept, so the group's read access goes too.
    EXPECT_EQ(statOf("shared.kob").st_gid, user->gid);
    EXPECT_EQ(statOf("shared.kob").st_mode & 07777, 0600u);
  }
  EXPECT_EQ(readFile(path("back")), data);
}

// A signal removes the output being written and ends kob as the signal
// does, which a shell reports as exit status 128 + the signal's number
// (each signal is tried in output_file_test.cpp). kob reads from a FIFO
// the test holds open, so it is surely still at work.
TEST_F(KobTool, ASignalRemovesTheOutputBeingWrittenAndEndsTheRun) {
  const std::string data = makeInput("data", 300000);
  ASSERT_EQ(kob("data").status, 0);
  const std::string packed = readFile(path("data.kob"));
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(path("stream.kob").c_str(), 0600), 0);
  struct Run {
    std::vector<std::string> arguments;
    std::string fifo;
    std::string fed;
    int signalNumber;
  };
  const Run runs[] = {
      {{"-f", "-T", "2", "-B", "64", "fifo"}, "fifo", data.substr(0, 200000), SIGINT},
      {{"-d", "-f", "stream.kob"}, "stream.kob", packed.substr(0, packed.size() / 2), SIGHUP}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.arguments[0]);
    std::unique_ptr<Child> child = start(run.arguments);
    tooltest::FifoWriter writer(path(run.fifo), *child);
    writer.write(run.fed);
    ASSERT_FALSE(tooltest::waitForTemporary(dir.root().string(), *child).empty());
    kill(child->id(), run.signalNumber);
    const int status = child->wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == run.signalNumber) << status;
    expectOnly({"data", "data.kob", "fifo", "stream.kob"});
  }
}

TEST_F(KobTool, WhatIsNotARegularFileIsSkippedUnlessAskedFor) {
  const std::string data = makeInput("data", 100000);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  {
    // Skipped without being opened, so without waiting for a writer; one
    // that opened it anyway is given the end of the data, not a hang.
    std::unique_ptr<Child> child = start({"--rm", "fifo"});
    tooltest::FifoWriter endOfData(path("fifo"), *child);
    endOfData.close();
    EXPECT_EQ(child->exitStatus(), 2);
    EXPECT_EQ(child->errors(),
              "kob: fifo: is not a regular file; skipped (use -f or -c)\n");
  }
  // Asked for, a FIFO is read to its end, and never removed.
  EXPECT_EQ(kob("-f --rm fifo", "cat data >fifo &").status, 0);
  EXPECT_EQ(decodeIndependently(readFile(path("fifo.kob"))), data);
  EXPECT_TRUE(S_ISFIFO(statOf("fifo").st_mode));
  EXPECT_EQ(decodeIndependently(kob("-c fifo", "cat data >fifo &").out), data);
  EXPECT_EQ(kob("-d -f --rm -o fifo.out fifo", "cat fifo.kob >fifo &").status,
            0);
  EXPECT_EQ(readFile(path("fifo.out")), data);

  // Symbolic links, as gzip treats them: skipped unless -f or -c; with -f
  // and --rm the link goes, not the file it leads to.
  ASSERT_EQ(symlink("data", path("link").c_str()), 0);
  EXPECT_EQ(kob("link").status, 2);
  EXPECT_EQ(decodeIndependently(kob("-c link").out), data);
  EXPECT_EQ(kob("-f --rm link").status, 0);
  EXPECT_EQ(decodeIndependently(readFile(path("link.kob"))), data);
  EXPECT_FALSE(std::filesystem::is_symlink(path("link")));
  EXPECT_EQ(readFile(path("data")), data);

  const int socketFd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  const std::string socketPath = path("sock");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(bind(socketFd, reinterpret_cast<struct sockaddr*>(&address),
                 sizeof address),
            0);
  EXPECT_EQ(kob("sock").status, 2);
  EXPECT_EQ(kob("-f sock").status, 1);
  close(socketFd);
  std::filesystem::create_directory(path("sub"));
  EXPECT_EQ(kob("-f sub").status, 2);

  if (geteuid() == 0) {
    // A copy of /dev/null is read as empty with -f, and never removed nor
    // replaced by a file.
    ASSERT_EQ(mknod(path("nul").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    EXPECT_EQ(kob("--rm nul").status, 2);
    EXPECT_EQ(kob("-f --rm nul").status, 0);
    EXPECT_EQ(kobtest::unsealed(readFile(path("nul.kob"))).size(), 12u);
    Result device = kob("-f -o nul data");
    EXPECT_EQ(device.status, 1);
    EXPECT_EQ(device.errors, "kob: nul: is not a regular file; not replaced\n");
    EXPECT_TRUE(S_ISCHR(statOf("nul").st_mode));
    std::filesystem::remove(path("nul"));
    std::filesystem::remove(path("nul.kob"));
  }
  expectOnly(
      {"data", "fifo", "fifo.kob", "fifo.out", "link.kob", "sock", "sub"});
}


TEST_F(KobTool, NamesAsLongAsTheFileSystemTakesWork) {
  const long longest = pathconf(dir.root().c_str(), _PC_NAME_MAX);
  ASSERT_GT(longest, 10);
  const std::string name(static_cast<std::size_t>(longest) - 4, 'n');
  const std::string data = makeInput(name, 10000);
  ASSERT_EQ(kob(name).status, 0);
  EXPECT_EQ(decodeIndependently(readFile(path(name + ".kob"))), data);
  std::filesystem::remove(path(name));
  ASSERT_EQ(kob("-d " + name + ".kob").status, 0);
  EXPECT_EQ(readFile(path(name)), data);

  const std::string tooLong(static_cast<std::size_t>(longest) - 3, 't');
  writeFile(path(tooLong), data);
  Result result = kob(tooLong);
  EXPECT_EQ(result.status, 1);
  expectMessage(result.errors,
                tooLong + ".kob: cannot create: File name too long");
  expectOnly({name, name + ".kob", tooLong});
}


// An input is removed only when its name still leads to the file read (see
// the table for the rest). Two-byte chunks make packing 1 MB take about a
// second: the name is replaced meanwhile.
TEST_F(KobTool, RemovesTheInputOnlyWhenItIsStillTheFileRead) {
  const std::string slow = makeInput("slow", 1000000);
  std::unique_ptr<Child> child = start({"--rm", "-B", "2", "slow"});
  ASSERT_FALSE(tooltest::waitForTemporary(dir.root().string(), *child).empty());
  writeFile(path("newer"), "newer");
  ASSERT_EQ(rename(path("newer").c_str(), path("slow").c_str()), 0);
  EXPECT_EQ(child->exitStatus(), 1);
  EXPECT_EQ(child->errors(),
            "kob: slow: changed while it was read; not removed\n");
  EXPECT_EQ(readFile(path("slow")), "newer");
  EXPECT_EQ(decodeIndependently(readFile(path("slow.kob"))), slow);
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
  const std::string shown = onTerminal("-f -B 2");
  EXPECT_NE(shown.find("MiB/s"), std::string::npos);
  // The file's size is known: the share done and the time left too.
  EXPECT_NE(shown.find(" of 2.9 MiB, "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" left"), std::string::npos) << shown;
  // Its line is wiped at the end: spaces over it, back to its start.
  const std::size_t wiped = shown.rfind("\r" + std::string(30, ' '));
  EXPECT_NE(wiped, std::string::npos);
  EXPECT_EQ(shown.find_first_not_of(' ', wiped + 1),
            shown.find('\r', wiped + 1));
  EXPECT_EQ(onTerminal("-q -f -B 2").find("MiB/s"), std::string::npos);
  EXPECT_EQ(kob("-f -B 2 slow").errors, "");

  // A run that ends within a second shows none, though its input keeps it
  // waiting for a while.
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string brief =
      shell("(head -c 100000 slow; sleep 0.4; tail -c +100001 slow | "
            "head -c 100000) >fifo & script -qec \"'" +
            std::string(KOB_PATH) + "' -f -o brief.kob fifo\" /dev/null; wait")
          .out;
  EXPECT_EQ(brief.find("MiB/s"), std::string::npos) << brief;
  EXPECT_EQ(decodeIndependently(readFile(path("brief.kob"))),
            readFile(path("slow")).substr(0, 200000));
}

}  // namespace
