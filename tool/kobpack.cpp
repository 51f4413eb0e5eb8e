// SPDX-License-Identifier: GPL-2.0-or-later
// kobpack: packs "dictionary.data" into "dictionary.data.kob" in the current
// directory. An input that is already packed is read back and packed afresh;
// a FIFO or device of that name is read as a stream to its end, and left
// where it is.
//
// It never destroys data and never reports a failure as success. The output
// is written where no one else can read or redirect it (see OutputFile),
// takes the mode fopen would give (0666 less the umask) once complete, and
// only then is renamed over "dictionary.data.kob". On failure, and on
// SIGINT, SIGTERM or SIGHUP, nothing is left behind. On failure it prints
// one line to stderr and exits with status 1; on success it prints nothing
// and exits 0. Arguments are ignored; given any, the line of a failure
// says so, for whoever expected them to name the input.

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "kob.h"
#include "output_file.h"

namespace {

constexpr const char* kInputName = "dictionary.data";
constexpr const char* kOutputName = "dictionary.data.kob";
constexpr unsigned int kBlockSize = 1024;

std::string because(const char* file, const std::string& what, int error) {
  std::string line = std::string(file) + ": " + what;
  if (error != 0) line += std::string(": ") + std::strerror(error);
  return line;
}

// Why reading stopped, once inFile.hasError(); `plainError` is the errno of
// a failed read of a plain input.
std::string readFailure(KobFile& inFile, int plainError) {
  if (inFile.isCompressed()) {
    return std::string(kInputName) + ": " + inFile.failure().describe();
  }
  return because(kInputName, "cannot read", plainError);
}

// Returns the line that says why packing failed, or nullopt on success.
std::optional<std::string> packDictionary() {
  KobFile inFile;
  errno = 0;
  if (!inFile.open(kInputName, READ)) {
    return because(kInputName, "cannot open", errno);
  }
  if (inFile.hasError()) return readFailure(inFile, errno);

  kobsupport::OutputFile output(kOutputName);
  if (kobsupport::OutputError problem = output.create()) {
    return because(kOutputName, problem.action, problem.error);
  }
  KobFile outFile;
  if (!outFile.openDescriptor(fcntl(output.descriptor(), F_DUPFD_CLOEXEC, 0),
                              WRITE)) {
    return because(kOutputName, "cannot create", errno);
  }

  unsigned char buffer[kBlockSize];
  while (!inFile.isEOF()) {
    errno = 0;
    const int bytes = inFile.read(buffer, kBlockSize);
    if (inFile.hasError()) return readFailure(inFile, errno);
    if (bytes == 0 && !inFile.isEOF()) {
      return because(kInputName, "cannot read", errno);
    }
    outFile.write(reinterpret_cast<const char*>(buffer),
                  static_cast<unsigned int>(bytes));
    if (outFile.hasError()) break;
  }
  if (outFile.close() != 0) {
    return because(kOutputName, "cannot write", errno);
  }
  if (kobsupport::OutputError problem = output.commit(nullptr, true)) {
    return because(kOutputName, problem.action, problem.error);
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char**) {
  kobsupport::occupyClosedStandardDescriptors();
  kobsupport::removeUnfinishedOutputsOnSignal();
  if (std::optional<std::string> failure = packDictionary()) {
    std::fprintf(stderr, "kobpack: %s%s\n", failure->c_str(),
                 argc > 1 ? " (kobpack takes no arguments: it packs "
                            "dictionary.data in the current folder)"
                          : "");
    return 1;
  }
  return 0;
}
