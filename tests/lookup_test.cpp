// SPDX-License-Identifier: GPL-2.0-or-later
// The lookup example finds entries in the sample dictionary, packed or plain.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "kob.h"
#include "test_util.h"

namespace {

struct Output {
  int status;
  std::string text;
};

Output lookup(const std::string& dictionary, const std::string& word) {
  std::string command = std::string("'") + LOOKUP_PATH + "' '" + dictionary +
                        "' '" + EXAMPLES_DIR + "/dictionary.index' '" + word +
                        "' 2>/dev/null";
  Output out{-1, ""};
  std::FILE* pipe = popen(command.c_str(), "r");
  char chunk[512];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    out.text.append(chunk, n);
  }
  int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

TEST(LookupExample, PrintsTheSameEntriesFromThePackedAndThePlainFile) {
  kobtest::TempDir dir;
  const std::string plainPath = std::string(EXAMPLES_DIR) + "/dictionary.data";
  const std::string plain = kobtest::readFile(plainPath);
  std::mt19937 rng(1);
  kobtest::packFile(dir.path("dictionary.data.kob"), plain, 16384, rng);

  std::ifstream index(std::string(EXAMPLES_DIR) + "/dictionary.index");
  int checked = 0;
  for (std::string word; std::getline(index, word, '\t');) {
    std::size_t offset, length;
    index >> offset >> length;
    index.ignore(1);
    if (checked++ % 40 != 0 && word != "zephyr") continue;
    const std::string expected = plain.substr(offset, length);
    EXPECT_EQ(expected.rfind(word + "\n", 0), 0u) << word;
    Output packed = lookup(dir.path("dictionary.data.kob"), word);
    EXPECT_EQ(packed.status, 0) << word;
    EXPECT_EQ(packed.text, expected);
    EXPECT_EQ(lookup(plainPath, word).text, expected);
  }
  EXPECT_EQ(checked, 402);
}

TEST(LookupExample, AnswersOneForAWordNotThere) {
  Output out =
      lookup(std::string(EXAMPLES_DIR) + "/dictionary.data", "nonesuch");
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.text, "");
}

}  // namespace
