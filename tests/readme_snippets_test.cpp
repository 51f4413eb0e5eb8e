// SPDX-License-Identifier: GPL-2.0-or-later
// The README's C++ examples, as it gives them, on a packed file and on
// the plain one ("plain files work too"), and a range of a plain file read
// by the tool from a file, standard input redirected and a pipe.

#include <gtest/gtest.h>

#include <cstdlib>
#include <istream>
#include <random>
#include <string>

#include "kob.h"
#include "kob_shared.h"
#include "kob_streambuf.h"
#include "test_util.h"

namespace {

// README, "Reading and seeking": look an entry up by its offset and length.
std::string lookUp(const char* path, std::int64_t offset, std::size_t length) {
  KobFile dictionary;
  dictionary.setPartialDecoding(true);          // see below
  dictionary.open(path, READ);                  // plain files work too
  std::string entry(length, '\0');
  if (dictionary.seek64(offset, 0) == offset) {
    int got = dictionary.read(reinterpret_cast<unsigned char*>(entry.data()), length);
    entry.resize(got > 0 ? got : 0);
  } else {
    entry.clear();
  }
  if (dictionary.hasError()) ADD_FAILURE() << dictionary.failure().describe();
  return entry;
}

TEST(ReadmeSnippets, ALookupReadsThePackedAndThePlainFileAlike) {
  std::mt19937 rng(8);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(100000, rng);
  kobtest::packFile(dir.path("d.kob"), data, 16384, rng);
  kobtest::writeFile(dir.path("d"), data);
  for (const std::int64_t offset : {0, 6, 16383, 50000, 99990}) {
    for (const char* name : {"d.kob", "d"}) {
      EXPECT_EQ(lookUp(dir.path(name).c_str(), offset, 300),
                data.substr(static_cast<std::size_t>(offset), 300))
          << name << " at " << offset;
    }
  }
  // Past the end: nothing, from either.
  EXPECT_EQ(lookUp(dir.path("d").c_str(), 200000, 10), "");
  EXPECT_EQ(lookUp(dir.path("d.kob").c_str(), 200000, 10), "");
}

TEST(ReadmeSnippets, LinesReadThroughTheStreamBufferAndTheSharedReader) {
  std::mt19937 rng(9);
  kobtest::TempDir dir;
  const std::string data = kobtest::makeData(60000, rng);
  kobtest::packFile(dir.path("dictionary.data.kob"), data, 4096, rng);
  // README, "Using kob in your program".
  KobFile file(dir.path("dictionary.data.kob").c_str(), READ);
  KobStreamBuf buffer(file);
  std::istream in(&buffer);
  std::string lines;
  for (std::string line; std::getline(in, line);) lines += line + "\n";
  EXPECT_EQ(lines.substr(0, data.size()), data);
  // README, "Many threads".
  kob::SharedReader dictionary;
  ASSERT_FALSE(dictionary.open(dir.path("dictionary.data.kob").c_str()).failed());
  dictionary.setPartialDecoding(true);
  char entry[512];
  kob::ReadResult got = dictionary.readAt(1000, entry, sizeof entry);
  EXPECT_TRUE(got.ok());
  EXPECT_EQ(std::string(entry, got.bytes), data.substr(1000, sizeof entry));
}

// A range of a file that is not packed, passed through with -f: from the
// file, from standard input redirected from it, and from a pipe.
TEST(ReadmeSnippets, TheToolReadsARangeOfAPlainFileFromAnywhere) {
  kobtest::TempDir dir;
  kobtest::writeFile(dir.path("p.txt"), "hello world, this is plain\n");
  const std::string kob = std::string("'") + KOB_PATH + "'";
  const std::string file = "'" + dir.path("p.txt") + "'";
  const std::string out = dir.path("out");
  const std::string commands[] = {
      kob + " -f -b 6 -s 5 " + file,
      kob + " -dcf -b 6 -s 5 " + file,
      kob + " -dcf -b 6 -s 5 <" + file,
      "cat " + file + " | " + kob + " -dcf -b 6 -s 5",
  };
  for (const std::string& command : commands) {
    ASSERT_EQ(std::system((command + " >'" + out + "'").c_str()), 0) << command;
    EXPECT_EQ(kobtest::readFile(out), "world") << command;
  }
  // Beyond its end: nothing, and no failure.
  ASSERT_EQ(std::system(("cat " + file + " | " + kob + " -dcf -b 100 >'" + out + "'").c_str()),
            0);
  EXPECT_EQ(kobtest::readFile(out), "");
}

}  // namespace
