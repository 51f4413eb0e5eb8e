// SPDX-License-Identifier: GPL-2.0-or-later
#include "inputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kob.h"

namespace kobtool {
namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a file of this kind may be read: done, or why not.
Outcome readableKind(const Options& options, const struct stat& info,
                     const std::string& name) {
  if (S_ISDIR(info.st_mode)) {
    return Outcome::skipped(name, "is a directory; skipped");
  }
  if (!S_ISREG(info.st_mode) && !options.readsAnyFile()) {
    return Outcome::skipped(name,
                            "is not a regular file; skipped (use -f or -c)");
  }
  return Outcome();
}

OpenedInput failedToOpen(const std::string& name, const char* what) {
  return {std::nullopt, Outcome::failed(name, what, errno)};
}

}  // namespace

std::optional<std::uint64_t> Input::knownSize() const {
  if (!isRegular()) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

OpenedInput openInput(const Options& options, const std::string& name) {
  Input input;
  input.name = name;
  if (input.isStdin()) {
    input.fd = kob::UniqueFd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
    if (input.fd.get() < 0 || fstat(input.fd.get(), &input.info) != 0) {
      return failedToOpen(kStdinName, "cannot read");
    }
    return {std::move(input), Outcome()};
  }
  if (input.isUrl()) return {std::move(input), Outcome()};
  struct stat found;
  if (lstat(name.c_str(), &found) != 0) return failedToOpen(name, "cannot open");
  const bool followLinks = options.readsAnyFile();
  if (S_ISLNK(found.st_mode) && !followLinks) {
    return {std::nullopt,
            Outcome::skipped(name,
                             "is a symbolic link; skipped (use -f or -c)")};
  }
  if (S_ISLNK(found.st_mode) && stat(name.c_str(), &found) != 0) {
    return failedToOpen(name, "cannot open");
  }
  if (Outcome kind = readableKind(options, found, name); !kind.ok()) {
    return {std::nullopt, kind};
  }
  // A FIFO waits for its writer. Anything else opens without waiting, so
  // that a FIFO swapped in meanwhile cannot hold the run up.
  const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC |
                    (followLinks ? 0 : O_NOFOLLOW) |
                    (S_ISFIFO(found.st_mode) ? 0 : O_NONBLOCK);
  input.fd = kob::UniqueFd(::open(name.c_str(), flags));
  if (input.fd.get() < 0 || fstat(input.fd.get(), &input.info) != 0) {
    return failedToOpen(name, "cannot open");
  }
  // What was opened decides, not what the name showed before.
  if (Outcome kind = readableKind(options, input.info, name); !kind.ok()) {
    return {std::nullopt, kind};
  }
  fcntl(input.fd.get(), F_SETFL, fcntl(input.fd.get(), F_GETFL) & ~O_NONBLOCK);
  return {std::move(input), Outcome()};
}

bool isPacked(const Input& input) {
  KobFile probe;
  const bool packed =
      probe.openDescriptor(fcntl(input.fd.get(), F_DUPFD_CLOEXEC, 0), READ) &&
      probe.isCompressed();
  probe.close();
  lseek(input.fd.get(), 0, SEEK_SET);
  return packed;
}

Outcome checkNotStandardOutput(const Input& input) {
  struct stat out;
  if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
      sameFile(out, input.info)) {
    return Outcome::failed(input.shown(),
                           "is also standard output; nothing done");
  }
  return Outcome();
}

Outcome checkNotATerminal(const Options& options, const Input& input) {
  if (options.force || !isatty(input.fd.get())) return Outcome();
  return Outcome::failed(input.shown(),
                         "refusing to read packed data from a terminal "
                         "(use -f)");
}

InputSequence::InputSequence(const Options& anOptions, Input& first)
    : options(anOptions), reading(&first) {}

long InputSequence::read(unsigned char* into, std::size_t room) {
  while (reading || openNext()) {
    const ssize_t got = ::read(reading->fd.get(), into, room);
    if (got > 0) return static_cast<long>(got);
    if (got == 0) {
      reading = nullptr;
    } else if (errno != EINTR) {
      met += Outcome::failed(reading->shown(), "cannot read", errno);
      return -1;
    }
  }
  return 0;
}

bool InputSequence::openNext() {
  while (!waiting.empty()) {
    OpenedInput next = openInput(options, waiting.front());
    waiting.pop_front();
    if (next.input) next.outcome = checkNotStandardOutput(*next.input);
    met += next.outcome;
    if (next.input && next.outcome.ok()) {
      opened = std::move(next.input);
      reading = &*opened;
      return true;
    }
  }
  return false;
}

}  // namespace kobtool
