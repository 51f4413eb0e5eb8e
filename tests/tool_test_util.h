// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the tests that run kob and kobpack as programs: starting one
// and waiting for it, catching its temporary file, feeding it through a
// FIFO, and running it as a user other than root.

#ifndef KOB_TESTS_TOOL_TEST_UTIL_H
#define KOB_TESTS_TOOL_TEST_UTIL_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tooltest {

// A program started in `folder`, as a shell starts a job in the foreground:
// SIGINT, SIGTERM and SIGHUP take their default action. Standard input is
// `in`, standard output `out`, standard error a file read by errors().
// `environment` entries ("NAME=value") are added.
class Child {
 public:
  Child(const std::string& folder, const std::vector<std::string>& argv,
        const std::vector<std::string>& environment = {},
        const std::string& out = "/dev/null",
        const std::string& in = "/dev/null");
  // Kills the program if it still runs, and reaps it.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t id() const { return pid; }
  // Waits for the end; returns the wait status.
  int wait();
  // Waits for the end; returns the exit status, -1 when a signal ended it.
  int exitStatus();
  // True while the program has not ended (it is not reaped).
  bool running() const;
  std::string errors() const;

 private:
  pid_t pid = -1;
  int status = 0;
  std::string errorsPath;
};

// The first entry of `folder` whose name starts with ".kob", other than
// `except`. Waits for one to appear, but gives up (returning "") after a
// minute or when `child` ends, so that a broken tool fails the test instead
// of hanging it.
std::string waitForTemporary(const std::string& folder, const Child& child,
                             const std::string& except = "");

// The write end of a FIFO, opened once `child` has opened it for reading
// ("" if it never did).
class FifoWriter {
 public:
  FifoWriter(const std::string& path, const Child& child);
  ~FifoWriter();
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;

  bool isOpen() const { return fd >= 0; }
  // Writes all of `bytes`; false when the reader went away.
  bool write(const std::string& bytes);
  void close();

 private:
  int fd = -1;
};

// A user other than root to run the tools as. When the tests run as root:
// "nobody", made with useradd when missing; `prefix` is the command that
// runs a program as that user. When they do not, the user running them,
// with an empty prefix. nullopt when no such user can be had.
struct OtherUser {
  uid_t uid;
  gid_t gid;
  std::string prefix;
};
std::optional<OtherUser> otherUser();

}  // namespace tooltest

#endif  // KOB_TESTS_TOOL_TEST_UTIL_H
