// kobpack: packs "dictionary.data" into "dictionary.data.kob" in the current
// directory. An input that is already packed is read back and packed afresh.
//
// It never destroys data and never reports a failure as success: the output
// is written to a temporary file beside it and renamed over
// "dictionary.data.kob" only when everything succeeded. On failure it prints
// one line to stderr, removes the temporary file and exits with status 1. On
// success it prints nothing and exits 0. Arguments are ignored.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kob.h"
#include "temporary_file.h"

namespace {

constexpr const char* kInputName = "dictionary.data";
constexpr const char* kOutputName = "dictionary.data.kob";
constexpr unsigned int kBlockSize = 1024;

[[noreturn]] void fail(const std::string& what, int error) {
  std::string line = "kobpack: " + what;
  if (error != 0) line += std::string(": ") + std::strerror(error);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::exit(1);
}

// Stops with a message when `inFile` failed; returns otherwise.
void checkInput(KobFile& inFile, TemporaryFile& output, int error) {
  if (!inFile.hasError()) return;
  output.discard();
  if (inFile.damage() != kob::Damage::None) {
    fail(std::string(kInputName) + ": packed data is damaged at byte " +
             std::to_string(inFile.tell64()) + ": " +
             kob::describe(inFile.damage()),
         0);
  }
  fail(std::string("cannot read ") + kInputName,
       inFile.isCompressed() ? inFile.ioError() : error);
}

}  // namespace

int main() {
  KobFile inFile;
  KobFile outFile;
  errno = 0;
  if (!inFile.open(kInputName, READ)) {
    fail(std::string("cannot open ") + kInputName, errno);
  }
  const int openError = errno;
  TemporaryFile output(kOutputName);
  if (int error = output.create(); error != 0) {
    fail(std::string("cannot create ") + kOutputName, error);
  }
  checkInput(inFile, output, openError);
  if (!outFile.open(output.name(), WRITE)) {
    int error = errno;
    output.discard();
    fail(std::string("cannot create ") + kOutputName, error);
  }

  unsigned char buffer[kBlockSize];
  while (!inFile.isEOF()) {
    errno = 0;
    int bytes = inFile.read(buffer, kBlockSize);
    checkInput(inFile, output, errno);
    if (bytes == 0 && !inFile.isEOF()) {
      output.discard();
      fail(std::string("cannot read ") + kInputName, errno);
    }
    outFile.write(reinterpret_cast<const char*>(buffer),
                  static_cast<unsigned int>(bytes));
    if (outFile.hasError()) break;
  }
  inFile.close();

  errno = 0;
  if (outFile.close() != 0) {
    int error = errno;
    output.discard();
    fail(std::string("cannot write ") + kOutputName, error);
  }
  if (int error = output.commit(); error != 0) {
    fail(std::string("cannot replace ") + kOutputName, error);
  }
  return 0;
}
