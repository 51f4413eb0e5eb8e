// SPDX-License-Identifier: GPL-2.0-or-later
// The version is said once, in project(kob VERSION ...): the header's
// macros, the library's kob::version(), the manual pages and `kob -V` must
// all name that one.

#include <gtest/gtest.h>
#include <kob/kob_version.h>

#include <cstdio>
#include <string>

#include "kob_version.h"  // the same header, by its plain name
#include "test_util.h"

namespace {

TEST(Version, TheHeadersPartsAndStringAreTheProjectsVersion) {
  EXPECT_STREQ(KOB_VERSION_STRING, KOB_PROJECT_VERSION);
  EXPECT_EQ(std::to_string(KOB_VERSION_MAJOR) + "." +
                std::to_string(KOB_VERSION_MINOR) + "." +
                std::to_string(KOB_VERSION_PATCH),
            KOB_PROJECT_VERSION);
  // Numbers, so that #if can compare them.
#if KOB_VERSION_MAJOR < 0 || KOB_VERSION_MINOR < 0 || KOB_VERSION_PATCH < 0
  ADD_FAILURE() << "negative version parts";
#endif
}

TEST(Version, TheLibraryNamesTheVersionItWasBuiltAs) {
  ASSERT_NE(kob::version(), nullptr);
  EXPECT_STREQ(kob::version(), KOB_PROJECT_VERSION);
}

TEST(Version, TheManualPagesNameIt) {
  for (const char* page : {"kob.1", "kobpack.1"}) {
    const std::string text =
        kobtest::readFile(std::string(MAN_SOURCE_DIR "/") + page);
    const std::size_t title = text.find("\n.TH ");
    ASSERT_NE(title, std::string::npos) << page;
    const std::string line =
        text.substr(title + 1, text.find('\n', title + 1) - title - 1);
    EXPECT_NE(line.find("\"kob " KOB_PROJECT_VERSION "\""), std::string::npos)
        << page << ": " << line;
  }
}

// kob -V names the version of the library it runs with.
TEST(Version, KobDashVNamesTheLibrarysVersion) {
  std::FILE* pipe = popen((std::string("'") + KOB_PATH + "' -V").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  EXPECT_EQ(pclose(pipe), 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(line), std::string("kob ") + kob::version() + "\n");
}

}  // namespace
