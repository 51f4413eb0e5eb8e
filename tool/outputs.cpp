// SPDX-License-Identifier: GPL-2.0-or-later
#include "outputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kobtool {
namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool stdoutFailureReported = false;

}  // namespace

Outcome standardOutputFailed(int error) {
  if (stdoutFailureReported) return Outcome::alreadyReported();
  stdoutFailureReported = true;
  return Outcome::failed(kStdoutName, "cannot write", error != 0 ? error : EIO);
}

Outcome closeStandardOutput() {
  errno = 0;
  bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  int error = errno;
  if (std::fclose(stdout) != 0 && written) {
    written = false;
    error = errno;
  }
  return written ? Outcome() : standardOutputFailed(error);
}

Outcome checkOutputPath(const Options& options, const Input& input,
                        const std::string& path) {
  struct stat existing;
  if (!input.isRemote() && stat(path.c_str(), &existing) == 0 &&
      sameFile(existing, input.info)) {
    return Outcome::failed(path, "output would be its own input; nothing done");
  }
  if (lstat(path.c_str(), &existing) != 0) return Outcome();
  if (!options.force) {
    return Outcome::skipped(path,
                            "already exists; skipped (use -f to overwrite)");
  }
  // A link is replaced, as gzip replaces it; a device, FIFO or directory
  // it leads to is never replaced by a file.
  if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    return Outcome::failed(path, "is not a regular file; not replaced");
  }
  return Outcome();
}

Destination::Destination(std::string aPath) : path(std::move(aPath)) {
  if (!path.empty()) file.emplace(path);
}

std::FILE* Destination::open(Outcome& outcome) {
  if (isStdout()) return stdout;
  if (OutputError problem = file->create()) {
    outcome += Outcome::failed(path, problem.action, problem.error);
    return nullptr;
  }
  std::FILE* stream = file->stream();
  if (!stream) outcome += Outcome::failed(path, "cannot create", errno);
  return stream;
}

Outcome Destination::writeFailed(int error) const {
  return isStdout() ? standardOutputFailed(error)
                    : Outcome::failed(path, "cannot write", error);
}

kob::UniqueFd Destination::readBack() const {
  if (isStdout()) return kob::UniqueFd();
  return kob::UniqueFd(fcntl(file->descriptor(), F_DUPFD_CLOEXEC, 0));
}

Outcome Destination::commit(const Input& input, bool replaceExisting) {
  if (isStdout()) {
    return std::fflush(stdout) == 0 ? Outcome() : standardOutputFailed(errno);
  }
  const bool keepAttributes = input.isRegular() && !input.isStdin();
  if (OutputError problem =
          file->commit(keepAttributes ? &input.info : nullptr,
                       replaceExisting)) {
    return Outcome::failed(path, problem.action, problem.error);
  }
  return Outcome();
}

Outcome removeInput(const Options& options, const Input& input,
                    const Destination& destination) {
  if (!options.removeInput || input.isStdin() || destination.isStdout() ||
      !input.isRegular()) {
    return Outcome();
  }
  struct stat now;
  if (stat(input.name.c_str(), &now) != 0 || !sameFile(now, input.info)) {
    return Outcome::failed(input.name,
                           "changed while it was read; not removed");
  }
  if (unlink(input.name.c_str()) != 0) {
    return Outcome::failed(input.name, "cannot remove", errno);
  }
  return Outcome();
}

}  // namespace kobtool
