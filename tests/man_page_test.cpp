// SPDX-License-Identifier: GPL-2.0-or-later
// The manual pages: they render with man, install into the manual's first
// section, and describe every option `kob --help` lists.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>

#include "test_util.h"

namespace {

// Runs a shell command; returns its standard output, empty on failure.
std::string outputOf(const std::string& command) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "";
}

// A page rendered wide, so that no option is hyphenated or broken.
std::string rendered(const std::string& page) {
  return outputOf("MANWIDTH=250 man -l '" + page + "' 2>/dev/null");
}

// The long and short options named at the start of a line, as `--help`
// ("  -d,--decompress") and the page ("  -d, --decompress") list them.
std::set<std::string> optionsListed(const std::string& text) {
  static const std::regex kOption(R"(^ +(-\w)?,? ?(--[\w-]+))",
                                  std::regex::multiline);
  std::set<std::string> options;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kOption);
       it != std::sregex_iterator(); ++it) {
    if ((*it)[1].matched) options.insert((*it)[1]);
    options.insert((*it)[2]);
  }
  return options;
}

TEST(ManualPages, KobsPageListsExactlyTheOptionsOfItsHelp) {
  const std::string page = rendered(MAN_SOURCE_DIR "/kob.1");
  ASSERT_NE(page, "");
  const std::string help = outputOf(std::string("'") + KOB_PATH + "' --help");
  const std::set<std::string> helpOptions = optionsListed(help);
  EXPECT_GE(helpOptions.size(), 25u);
  EXPECT_EQ(optionsListed(page), helpOptions);
  for (const char* section : {"EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
    EXPECT_NE(page.find(section), std::string::npos) << section;
  }
  EXPECT_NE(page.find("128"), std::string::npos);
}

// Every reference page of doc/ is named by kob --help, by the manual page
// and by the README, so a reader finds each from any of them.
TEST(ManualPages, TheHelpThePageAndTheReadmeNameEveryReferencePage) {
  const std::string help = outputOf(std::string("'") + KOB_PATH + "' --help");
  const std::string page = rendered(MAN_SOURCE_DIR "/kob.1");
  const std::string readme = kobtest::readFile(MAN_SOURCE_DIR "/../README.md");
  int pages = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MAN_SOURCE_DIR "/../doc")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".md" || name == "design.md" || name == "building.md") {
      continue;  // for those who build and change kob: the README names them
    }
    ++pages;
    EXPECT_NE(help.find(name), std::string::npos) << name;
    EXPECT_NE(page.find(name), std::string::npos) << name;
    EXPECT_NE(readme.find("(doc/" + name + ")"), std::string::npos) << name;
  }
  EXPECT_GE(pages, 8);
  EXPECT_NE(readme.find("(doc/design.md)"), std::string::npos);
  EXPECT_NE(readme.find("(doc/building.md)"), std::string::npos);
}

TEST(ManualPages, KobpacksPageRendersWithItsExitStatus) {
  const std::string page = rendered(MAN_SOURCE_DIR "/kobpack.1");
  for (const char* text :
       {"kobpack - pack dictionary.data", "EXIT STATUS", "0666", "EXAMPLES"}) {
    EXPECT_NE(page.find(text), std::string::npos) << text;
  }
}

TEST(ManualPages, InstallIntoTheFirstSection) {
  kobtest::TempDir prefix;
  ASSERT_EQ(std::system((std::string("'") + CMAKE_PATH + "' --install '" +
                         KOB_BUILD_DIR + "' --prefix '" +
                         prefix.root().string() + "' >/dev/null")
                            .c_str()),
            0);
  const std::filesystem::path section =
      prefix.root() / KOB_INSTALL_MANDIR / "man1";
  for (const char* page : {"kob.1", "kobpack.1"}) {
    EXPECT_EQ(kobtest::readFile((section / page).string()),
              kobtest::readFile(std::string(MAN_SOURCE_DIR "/") + page));
    EXPECT_NE(rendered((section / page).string()), "") << page;
  }
}

}  // namespace
