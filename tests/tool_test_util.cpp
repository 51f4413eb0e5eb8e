// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool_test_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "test_util.h"

extern char** environ;

namespace tooltest {
namespace {

// How long a helper waits for something a working tool does at once.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// Calls `done` until it returns true, the child ends or patience runs out.
template <typename Done>
bool waitUntil(const Child& child, Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < giveUp) {
    if (done()) return true;
    if (!child.running()) return done();
    std::this_thread::sleep_for(kPollInterval);
  }
  return false;
}

}  // namespace

Child::Child(const std::string& folder, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment,
             const std::string& out, const std::string& in) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kobchild.XXXXXX").string();
  const int errorsFd = mkstemp(pattern.data());
  if (errorsFd < 0) std::abort();
  errorsPath = pattern;

  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const std::string& e : environment)
    env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid = fork();
  if (pid == 0) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
      signal(signalNumber, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int input = open(in.c_str(), O_RDONLY);
    const int output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (chdir(folder.c_str()) != 0 || input < 0 || output < 0) _exit(127);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(errorsFd, STDERR_FILENO);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(errorsFd);
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    wait();
  }
  std::filesystem::remove(errorsPath);
}

int Child::wait() {
  if (pid > 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
  }
  return status;
}

int Child::exitStatus() {
  const int ended = wait();
  return WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
}

bool Child::running() const {
  if (pid <= 0) return false;
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  return info.si_pid == 0;
}

std::string Child::errors() const { return kobtest::readFile(errorsPath); }

std::string waitForTemporary(const std::string& folder, const Child& child,
                             const std::string& except) {
  std::string found;
  waitUntil(child, [&] {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(".kob", 0) == 0 && name != except) {
        found = name;
        return true;
      }
    }
    return false;
  });
  return found;
}

FifoWriter::FifoWriter(const std::string& path, const Child& child) {
  // A reader that has gone must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  waitUntil(child, [&] {
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
  });
  if (fd >= 0) fcntl(fd, F_SETFL, O_WRONLY);
}

FifoWriter::~FifoWriter() { close(); }

bool FifoWriter::write(const std::string& bytes) {
  std::size_t done = 0;
  while (fd >= 0 && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return fd >= 0;
}

void FifoWriter::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::optional<OtherUser> otherUser() {
  if (geteuid() != 0) return OtherUser{getuid(), getgid(), ""};
  if (getpwnam("nobody") == nullptr) {
    (void)std::system(
        "useradd --system --no-create-home --shell /usr/sbin/nologin nobody "
        ">/dev/null 2>&1");
  }
  const struct passwd* user = getpwnam("nobody");
  if (user == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
    return std::nullopt;
  }
  return OtherUser{user->pw_uid, user->pw_gid,
                   "setpriv --reuid=" + std::to_string(user->pw_uid) +
                       " --regid=" + std::to_string(user->pw_gid) +
                       " --clear-groups "};
}

}  // namespace tooltest
