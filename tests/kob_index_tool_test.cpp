// SPDX-License-Identifier: GPL-2.0-or-later
// kob and the saved index beside a packed file: made from the file kob
// opened, used by every mode that reads a packed file by name, removed
// only when it is one.

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "kob_pack.h"
#include "kob_tool_fixture.h"

namespace {

using kobtest::readFile;
using kobtest::writeFile;

class KobIndex : public kobtest::KobTool {
 protected:
  // How many times `call` was made on a path ending in `name`, running kob
  // with `arguments` under strace.
  int callsOn(const std::string& arguments, const std::string& call,
              const std::string& name) {
    const std::string trace = path("trace");
    const Result traced = shell(tracedKob(call, trace) + arguments +
                                " </dev/null >/dev/null");
    EXPECT_EQ(traced.status, 0) << traced.errors;
    const std::string lines = readFile(trace);
    std::filesystem::remove(trace);
    int count = 0;
    for (std::size_t at = lines.find(name + "\""); at != std::string::npos;
         at = lines.find(name + "\"", at + 1)) {
      ++count;
    }
    return count;
  }
  // The reads (pread) of a run of kob.
  int reads(const std::string& arguments) {
    const std::string trace = path("trace");
    shell(tracedKob("pread64", trace) + arguments + " </dev/null >/dev/null");
    const std::string lines = readFile(trace);
    std::filesystem::remove(trace);
    return static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
  }
  // kob under strace, tracing `call` into `trace`. A sanitizer's leak check
  // cannot run under ptrace, so it is turned off for these runs.
  static std::string tracedKob(const std::string& call,
                                const std::string& trace) {
    return "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
           "strace -f -qq -e trace=" + call + " -o '" + trace + "' '" +
           KOB_PATH + "' ";
  }
  bool haveStrace() { return shell("strace -V").status == 0; }
};

TEST_F(KobIndex, IndexingReadsTheFileItOpenedOnce) {
  if (!haveStrace()) GTEST_SKIP() << "no strace";
  makeInput("d", 300000);
  ASSERT_EQ(kob("--no-seal d").status, 0);
  // The packed file is opened by its name once, then read through that
  // descriptor; a FIFO renamed over it meanwhile cannot hold kob up.
  EXPECT_EQ(callsOn("--index d.kob", "openat", "/d.kob"), 0);
  EXPECT_EQ(callsOn("--index d.kob", "openat", "d.kob"), 1);
  EXPECT_EQ(kob::indexState(path("d.kob")), kob::IndexState::Valid);
  // Packing with -i indexes the output through the descriptor it wrote.
  std::filesystem::remove(path("d.kob"));
  std::filesystem::remove(path("d.kob.kbi"));
  EXPECT_EQ(callsOn("-i d", "openat", "d.kob"), 0);
  EXPECT_EQ(kob::indexState(path("d.kob")), kob::IndexState::Valid);
}

TEST_F(KobIndex, ARangeIsReadThroughTheIndex) {
  if (!haveStrace()) GTEST_SKIP() << "no strace";
  const std::string data = makeInput("d", 2000000);
  ASSERT_EQ(kob("-B 4096 --no-seal d").status, 0);
  const int walking = reads("-d -b 1990000 -s 100 d.kob");
  ASSERT_EQ(kob("--index d.kob").status, 0);
  const int indexed = reads("-d -b 1990000 -s 100 d.kob");
  const int loading = reads("-V");  // the dynamic loader's own
  EXPECT_LT(indexed, walking);
  EXPECT_LE(indexed - loading, 5)
      << "the signature, the first chunk, the index, the one asked for";
  EXPECT_EQ(kob("-d -b 1990000 -s 100 d.kob").out, data.substr(1990000, 100));
  // Sealed, the file is its own index: no more reads without one.
  ASSERT_EQ(kob("-B 4096 -o s.kob d").status, 0);
  EXPECT_LE(reads("-d -b 1990000 -s 100 s.kob"), indexed);
  EXPECT_EQ(kob("-d -b 1990000 -s 100 s.kob").out, data.substr(1990000, 100));
}


TEST_F(KobIndex, UnpackingWithRmRemovesOnlyAnIndexOfTheFile) {
  const std::string data = makeInput("d", 50000);
  ASSERT_EQ(kob("-i d").status, 0);
  ASSERT_EQ(kob("-d --rm -f d.kob").status, 0);
  EXPECT_FALSE(kobtest::fileExists(path("d.kob.kbi")));

  // Something else under the index's name stays.
  std::filesystem::remove(path("d.kob"));
  ASSERT_EQ(kob("d").status, 0);
  writeFile(path("d.kob.kbi"), "my notes, not an index");
  ASSERT_EQ(kob("-d --rm -f d.kob").status, 0);
  EXPECT_EQ(readFile(path("d.kob.kbi")), "my notes, not an index");
  // And so does an index of another file.
  ASSERT_EQ(kob("-i e", "cp d e;").status, 0);
  ASSERT_EQ(kob("d").status, 0);
  std::filesystem::rename(path("e.kob.kbi"), path("d.kob.kbi"));
  const std::string foreign = readFile(path("d.kob.kbi"));
  ASSERT_EQ(kob("-d --rm -f d.kob").status, 0);
  EXPECT_EQ(readFile(path("d.kob.kbi")), foreign);
  EXPECT_EQ(readFile(path("d")), data);
  // And a file that happens to hold the packed file's device and inode
  // where an index holds them.
  std::filesystem::remove(path("d.kob.kbi"));
  ASSERT_EQ(kob("-f d").status, 0);
  struct stat packed;
  ASSERT_EQ(stat(path("d.kob").c_str(), &packed), 0);
  std::string lookalike = "NOTINDEX";
  for (const std::uint64_t field : {static_cast<std::uint64_t>(packed.st_dev),
                                    static_cast<std::uint64_t>(packed.st_ino)}) {
    for (int shift = 56; shift >= 0; shift -= 8) {
      lookalike.push_back(static_cast<char>(field >> shift));
    }
  }
  writeFile(path("d.kob.kbi"), lookalike + "and more notes");
  ASSERT_EQ(kob("-d --rm -f d.kob").status, 0);
  EXPECT_TRUE(kobtest::fileExists(path("d.kob.kbi")));
}


// An index of absurd size in the sidecar's place: kob -l lists the file
// and calls the index unusable, at once.
TEST_F(KobIndex, AHugeIndexInItsPlaceIsUnusableNotACrash) {
  makeInput("d", 50000);
  ASSERT_EQ(kob("-i d").status, 0);
  ASSERT_EQ(truncate(path("d.kob.kbi").c_str(), off_t{6} << 40), 0);
  const Result listed = kob("-l d.kob");
  EXPECT_EQ(listed.status, 0) << listed.errors;
  EXPECT_NE(listed.out.find(" unusable  d.kob"), std::string::npos)
      << listed.out;
  EXPECT_EQ(kob("-d -c d.kob").status, 0);
}

// An index exactly as large as its count of records says, but with more
// records than the packed file has room for: refused from the count, not
// read and allocated for first.
TEST_F(KobIndex, AnIndexCountingMoreChunksThanTheFileHoldsIsNotRead) {
  makeInput("d", 50000);
  ASSERT_EQ(kob("-i d").status, 0);
  auto peakOfListing = [&] {
    const Result listed = shell(std::string("'") + PEAK_MEMORY_PATH +
                                "' peak '" + KOB_PATH + "' -l d.kob");
    EXPECT_EQ(listed.status, 0) << listed.errors;
    return std::make_pair(listed.out, std::stol(readFile(path("peak"))));
  };
  const long valid = peakOfListing().second;
  const std::uint64_t count = std::uint64_t{1} << 27;
  const std::uint64_t blocks = count / 64;
  std::string preamble = readFile(path("d.kob.kbi")).substr(0, 56);
  for (int shift = 56; shift >= 0; shift -= 8) {
    preamble.push_back(static_cast<char>(count >> shift));
  }
  writeFile(path("d.kob.kbi"), preamble);
  // Preamble, milestones and their checksum, records, a checksum a block.
  ASSERT_EQ(truncate(path("d.kob.kbi").c_str(),
                     static_cast<off_t>(64 + 16 * blocks + 8 + 10 * count +
                                        8 * blocks)),
            0);
  const auto [out, peak] = peakOfListing();
  EXPECT_NE(out.find(" unusable  d.kob"), std::string::npos) << out;
  EXPECT_LT(peak - valid, 8 * 1024) << "KiB more than with a valid index";
}


}  // namespace
