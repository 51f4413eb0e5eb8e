// SPDX-License-Identifier: GPL-2.0-or-later
// Every front opens what it reads through kob::openFile, so each kind of
// input gets one answer from all of them: a table of inputs (a path, a file
// named "-", a descriptor, a URL, a FIFO, a directory, a file not packed,
// one whose first read fails, one missing) by fronts (KobFile,
// SharedReader, the walk, the salvage, the index writer).

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "http_server.h"
#include "kob.h"
#include "kob_index.h"
#include "kob_open.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "test_util.h"

namespace {

// An answer in words, comparable across fronts: "ok", "plain",
// "errno ENOENT", "damage NotPacked".
std::string answer(const kob::Failure& failure) {
  if (failure.ok()) return "ok";
  if (failure.damage == kob::Damage::NotPacked) return "not packed";
  if (failure.isDamage()) return "damage";
  return std::string("errno ") + strerrorname_np(failure.error);
}

// How an input reaches a front: by its name, or by a descriptor opened on it.
struct Input {
  std::string name;
  bool byDescriptor = false;
};

int openDescriptor(const Input& input) {
  return ::open(input.name.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string viaKobFile(const Input& input) {
  KobFile file;
  errno = 0;
  const bool opened = input.byDescriptor
                          ? file.openDescriptor(openDescriptor(input), READ)
                          : file.open(input.name.c_str(), READ);
  if (!opened) return answer(kob::Failure::ofError(errno));
  if (file.hasError()) return answer(file.failure());
  unsigned char byte;
  file.read(&byte, 1);
  if (file.hasError()) return answer(file.failure());
  return file.isCompressed() ? "ok" : "plain";
}

std::string viaSharedReader(const Input& input) {
  kob::SharedReader reader;
  const kob::Failure opened =
      input.byDescriptor ? reader.open(kob::openFile(openDescriptor(input)))
                         : reader.open(input.name.c_str());
  return answer(opened);
}

std::string viaScan(const Input& input) {
  if (!input.byDescriptor) return answer(kob::scanPacked(input.name, true).failure);
  const int fd = openDescriptor(input);
  const kob::ScanReport report = kob::scanPacked(fd, true);
  ::close(fd);
  return answer(report.failure);
}

std::string viaSalvage(const Input& input) {
  std::FILE* out = std::tmpfile();
  kob::RecoveryReport report;
  if (input.byDescriptor) {
    const int fd = openDescriptor(input);
    report = kob::recoverPacked(fd, nullptr, out);
    ::close(fd);
  } else {
    report = kob::recoverPacked(input.name, out);
  }
  std::fclose(out);
  return answer(report.failure);
}

std::string viaIndexWriter(const Input& input) {
  std::FILE* out = std::tmpfile();
  kob::ScanReport report;
  if (input.byDescriptor) {
    const int fd = openDescriptor(input);
    report = kob::writeIndex(fd, out);
    ::close(fd);
  } else {
    kob::OpenedFile file = kob::openFile(input.name);
    report = kob::writeIndex(file, out);
  }
  std::fclose(out);
  return answer(report.failure);
}

TEST(Opening, EveryKindOfInputGetsOneAnswerFromEveryFront) {
  kobtest::TempDir dir;
  std::mt19937 rng(5);
  const std::string data = kobtest::makeData(70000, rng);
  const std::string packed = kobtest::packFile(dir.path("p.kob"), data, 16384, rng);
  kobtest::writeFile(dir.path("-"), packed);
  kobtest::writeFile(dir.path("plain"), "just text, not packed\n");
  std::filesystem::create_directory(dir.path("folder"));
  std::signal(SIGPIPE, SIG_IGN);
  kobtest::Nginx server;
  std::string url;
  if (server.running()) {
    kobtest::writeFile(server.data("p.kob"), packed);
    url = server.url("p.kob");
  }

  using Front = std::function<std::string(const Input&)>;
  const std::pair<const char*, Front> fronts[] = {
      {"KobFile", viaKobFile},       {"SharedReader", viaSharedReader},
      {"scan", viaScan},             {"salvage", viaSalvage},
      {"writeIndex", viaIndexWriter}};
  // The answers, front by front, in the order above.
  const struct {
    const char* what;
    Input input;
    std::vector<std::string> answers;
  } rows[] = {
      {"a path", {dir.path("p.kob")}, {"ok", "ok", "ok", "ok", "ok"}},
      {"a file named -, which is a path", {dir.path("-")},
       {"ok", "ok", "ok", "ok", "ok"}},
      {"a descriptor", {dir.path("p.kob"), true}, {"ok", "ok", "ok", "ok", "ok"}},
      {"a URL", {url}, {"ok", "ok", "ok", "ok", "ok"}},
      {"a FIFO", {dir.path("fifo")},
       {"ok", "errno ESPIPE", "ok", "errno ESPIPE", "errno ESPIPE"}},
      {"a directory", {dir.path("folder")},
       {"errno EISDIR", "errno EISDIR", "errno EISDIR", "errno EISDIR",
        "errno EISDIR"}},
      {"a file not packed", {dir.path("plain")},
       {"plain", "not packed", "not packed", "not packed", "not packed"}},
      {"a file whose first read fails", {"/proc/self/mem"},
       {"errno EIO", "errno EIO", "errno EIO", "errno EIO", "errno EIO"}},
      {"a missing file", {dir.path("none")},
       {"errno ENOENT", "errno ENOENT", "errno ENOENT", "errno ENOENT",
        "errno ENOENT"}},
  };
  for (const auto& row : rows) {
    if (row.input.name.empty()) continue;  // no nginx here
    for (std::size_t i = 0; i < std::size(fronts); ++i) {
      const bool fifo = row.input.name == dir.path("fifo");
      // A FIFO of its own for each front, a writer feeding the packed file
      // into it; a front that refuses it does so without opening it.
      if (fifo) {
        ASSERT_EQ(mkfifo(row.input.name.c_str(), 0600), 0);
      }
      std::atomic<bool> fed{!fifo};
      std::thread feeder([&] {
        if (!fifo) return;
        const int fd = ::open(row.input.name.c_str(), O_WRONLY | O_CLOEXEC);
        fed = true;
        if (fd < 0) return;
        [[maybe_unused]] const ssize_t n = ::write(fd, packed.data(), packed.size());
        ::close(fd);
      });
      EXPECT_EQ(fronts[i].second(row.input), row.answers[i])
          << row.what << " through " << fronts[i].first;
      // Lets the writer go where nothing opened the FIFO.
      while (!fed) {
        const int fd = ::open(row.input.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fd >= 0) ::close(fd);
      }
      feeder.join();
      if (fifo) ::unlink(row.input.name.c_str());
    }
  }
}

}  // namespace

namespace {

// A FIFO nobody writes to: where seeking is needed it is refused without
// being opened, since opening it would wait for a writer for ever.
TEST(Opening, AFifoWithoutAWriterIsRefusedWithoutWaiting) {
  kobtest::TempDir dir;
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::function<int()> fronts[] = {
      [&] { return kob::SharedReader().open(fifo.c_str()).error; },
      [&] {
        std::FILE* out = std::tmpfile();
        const int error = kob::recoverPacked(fifo, out).failure.error;
        std::fclose(out);
        return error;
      },
      [&] {
        kob::OpenRules rules;
        rules.needSeek = true;
        return kob::openFile(fifo, rules).failure().error;
      },
  };
  for (const auto& front : fronts) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(front() == ESPIPE ? 0 : 1);
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 500 && done == 0; ++waited) {
      done = waitpid(child, &status, WNOHANG);
      if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "waited for a writer";
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
}

}  // namespace
