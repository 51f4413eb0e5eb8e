// SPDX-License-Identifier: GPL-2.0-or-later
// Outputs of the kob tools and the Python module, made so that no one else
// can read, redirect or clobber them while they are written, and so that
// nothing half-written is ever left behind: not on failure, not on SIGINT,
// SIGTERM or SIGHUP (where the program asked for that, as the tools do).
//
// An output is created once, with O_CREAT | O_EXCL and mode 0600, under a
// short random name in the directory of its final name (so any final name
// the file system takes still works), written through that descriptor only,
// given its final mode, and renamed into place. Outputs may be made from
// any number of threads at once.

#ifndef KOB_SUPPORT_OUTPUT_FILE_H
#define KOB_SUPPORT_OUTPUT_FILE_H

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/unique_fd.h"

namespace kobsupport {

// Makes SIGINT, SIGTERM and SIGHUP remove every output still being written,
// then end the process by the same signal (a shell reports 128 + its
// number). A signal ignored when the program started stays ignored, as
// nohup expects. Call once, before any output is created. Outputs beyond
// the first 64 written at once are still made and removed on failure, but
// not on a signal.
void removeUnfinishedOutputsOnSignal();

// Puts /dev/null, opened the wrong way round, on standard input, output or
// error when one is closed: files the program opens then never take those
// numbers (where a stray message or listing would land in them), and using
// the closed stream still fails as it should. Call first thing.
void occupyClosedStandardDescriptors();

// The permissions a file created by fopen gets now: 0666 less the umask.
mode_t defaultFileMode();

// A failure, for a message: what could not be done, and the errno, when
// there is one. False when nothing failed.
struct OutputError {
  const char* action = nullptr;
  int error = 0;
  explicit operator bool() const { return action != nullptr; }
};

class OutputFile {
 public:
  explicit OutputFile(std::string aFinalPath);
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file. On failure nothing was created.
  OutputError create();

  // The temporary file's descriptor, which stays this object's, open for
  // reading too (to index what was written).
  int descriptor() const { return fd.get(); }
  // A buffered stream on the temporary file, made on first use; nullptr
  // when one could not be made.
  std::FILE* stream();

  // Flushes the stream and renames the file to its final name: over a file
  // already there only when `replaceExisting`. It first takes the owner,
  // group, permissions and times of `keptFrom` where permitted, as gzip
  // does, or with no `keptFrom` defaultFileMode(). On failure the temporary
  // file is removed.
  OutputError commit(const struct stat* keptFrom, bool replaceExisting);

  // Forgets the temporary file without removing it: for a child process
  // that inherited this object through fork, where the file is still the
  // parent's to finish.
  void abandon();

 private:
  void discard();

  std::string finalPath;
  std::string finalName;  // the last component of finalPath
  kob::UniqueFd directory;
  kob::UniqueFd fd;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> buffered{nullptr,
                                                           &std::fclose};
  char temporaryName[16] = {};
  dev_t device = 0;
  ino_t inode = 0;
  bool pending = false;  // a temporary file exists, not yet renamed
  int slot = -1;  // where the signal handlers find it; -1 when none was free
};

}  // namespace kobsupport

#endif  // KOB_SUPPORT_OUTPUT_FILE_H
