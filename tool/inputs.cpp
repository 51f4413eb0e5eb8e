// SPDX-License-Identifier: GPL-2.0-or-later
#include "inputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>


namespace kobtool {
namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` is read as a stream: standard input, or a local file
// that is not a regular one.
bool isStream(const std::string& name) {
  struct stat found;
  return name == kStandardStream ||
         (!kob::isRemote(name) && stat(name.c_str(), &found) == 0 &&
          !S_ISREG(found.st_mode));
}

}  // namespace

std::optional<std::uint64_t> Input::knownSize() const {
  if (size < 0 || (!isRemote() && !isRegular())) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

OpenedInput openInput(const Options& options, const std::string& name) {
  kob::OpenRules rules;
  rules.dashIsStandardInput = true;
  // What is not a regular file, or is reached through a symbolic link, is
  // read only when asked for; what was opened decides, never what the name
  // showed a moment before.
  rules.followLinks = options.readsAnyFile();
  rules.regularOnly = !options.readsAnyFile() && name != kStandardStream;
  // Packing needs no test of a stream's first bytes, only of a regular
  // file's (one packed already is not packed again).
  rules.testSignature = !options.packing() || !isStream(name);
  rules.caFile = options.caFile;
  Input input;
  input.name = name;
  input.file = kob::openFile(name, rules);
  const struct stat* found = input.file.localStatus();
  if (found != nullptr) input.info = *found;
  input.standardInput = input.file.isStandardInput();
  input.remote = kob::isRemote(name) && !input.standardInput;
  input.shownName = input.file.shownName();
  input.size = input.file.size();
  const kob::Failure& failure = input.file.failure();
  const std::string shown = input.shown();
  // A file whose first read failed is open still: reading it says why.
  const bool opened = input.file.ok() || input.file.source() != nullptr;
  if (opened && !S_ISDIR(input.info.st_mode)) {
    return {std::move(input), Outcome()};
  }
  if (found != nullptr && S_ISLNK(found->st_mode) && !rules.followLinks) {
    return {std::nullopt,
            Outcome::skipped(shown,
                             "is a symbolic link; skipped (use -f or -c)")};
  }
  if (found != nullptr && S_ISDIR(found->st_mode)) {
    return {std::nullopt, Outcome::skipped(shown, "is a directory; skipped")};
  }
  if (found != nullptr && rules.regularOnly && found->st_mode != 0 &&
      !S_ISREG(found->st_mode)) {
    return {std::nullopt,
            Outcome::skipped(shown,
                             "is not a regular file; skipped (use -f or -c)")};
  }
  const char* what = input.isStdin() ? "cannot read" : "cannot open";
  if (failure.isDamage()) return {std::nullopt, Outcome::failed(shown, failure)};
  // The words of the layer below, where it gave some: a server's error
  // code, a TLS library's reason.
  return {std::nullopt,
          failure.detail.empty()
              ? Outcome::failed(shown, what, failure.error)
              : Outcome::failed(shown, std::string(what) + ": " +
                                           kob::describeError(failure.error) + " (" +
                                           failure.detail + ")")};
}

Outcome checkNotStandardOutput(const Input& input) {
  struct stat out;
  if (!input.isRemote() && fstat(STDOUT_FILENO, &out) == 0 &&
      S_ISREG(out.st_mode) &&
      sameFile(out, input.info)) {
    return Outcome::failed(input.shown(),
                           "is also standard output; nothing done");
  }
  return Outcome();
}

Outcome checkNotATerminal(const Options& options, const Input& input) {
  if (options.force || input.descriptor() < 0 || !isatty(input.descriptor())) {
    return Outcome();
  }
  return Outcome::failed(input.shown(),
                         "refusing to read packed data from a terminal "
                         "(use -f)");
}

InputSequence::InputSequence(const Options& anOptions, Input& first)
    : options(anOptions), reading(&first) {}

long InputSequence::read(unsigned char* into, std::size_t room) {
  while (reading || openNext()) {
    const long got = reading->file.readOn(into, room);
    if (got > 0) return got;
    if (got == 0) {
      reading = nullptr;
    } else {
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
