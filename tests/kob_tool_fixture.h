// SPDX-License-Identifier: GPL-2.0-or-later
// The fixture of the tests that run kob as a program in a scratch folder.

#ifndef KOB_TESTS_KOB_TOOL_FIXTURE_H
#define KOB_TESTS_KOB_TOOL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "tool_test_util.h"

namespace kobtest {

inline mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

class KobTool : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string out;
    std::string errors;
  };

  // Runs a shell command in the scratch folder, capturing its output.
  Result shell(const std::string& command) {
    const std::string out = dir.root().string() + ".out";
    const std::string errors = dir.root().string() + ".err";
    const std::string line = "cd '" + dir.root().string() + "' && (" + command +
                             ") >'" + out + "' 2>'" + errors + "'";
    int status = std::system(line.c_str());
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, kobtest::readFile(out),
                  kobtest::readFile(errors)};
    std::filesystem::remove(out);
    std::filesystem::remove(errors);
    return result;
  }
  // Runs kob with `arguments` (shell words), after `prefix`: shell commands
  // ending in ";", or a pipe ending in "|" that feeds standard input.
  Result kob(const std::string& arguments, const std::string& prefix = "") {
    const bool piped = !prefix.empty() && prefix.back() == '|';
    return shell(prefix + " '" + KOB_PATH + "' " + arguments +
                 (piped ? "" : " </dev/null"));
  }
  // Starts kob in the scratch folder, standard output into `out`, standard
  // input from `in`.
  std::unique_ptr<tooltest::Child> start(std::vector<std::string> arguments,
                               const std::string& out = "/dev/null",
                               const std::string& in = "/dev/null") {
    arguments.insert(arguments.begin(), KOB_PATH);
    return std::make_unique<tooltest::Child>(dir.root().string(), arguments,
                                   std::vector<std::string>{}, out, in);
  }
  std::string path(const std::string& name) const { return dir.path(name); }
  std::string makeInput(const std::string& name, std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(size));
    std::string data = kobtest::makeData(size, rng);
    kobtest::writeFile(path(name), data);
    return data;
  }
  struct stat statOf(const std::string& name) {
    struct stat info {};
    EXPECT_EQ(lstat(path(name).c_str(), &info), 0) << name;
    return info;
  }
  // Fails unless the folder holds exactly `names`.
  void expectOnly(std::set<std::string> names) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root())) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, names);
  }

  kobtest::TempDir dir;
};

// A message is one line naming the file, "kob: FILE: ...".
inline void expectMessage(const std::string& errors, const std::string& start) {
  EXPECT_EQ(errors.rfind("kob: " + start, 0), 0u) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

}  // namespace kobtest

#endif  // KOB_TESTS_KOB_TOOL_FIXTURE_H
