// SPDX-License-Identifier: GPL-2.0-or-later
// Outputs of the kob tools, made so that no one else can read, redirect or
// clobber them while they are written, and so that nothing half-written is
// ever left behind: not on failure, not on SIGINT, SIGTERM or SIGHUP.
//
// An output is created once, with O_CREAT | O_EXCL and mode 0600, under a
// short random name in the directory of its final name (so any final name
// the file system takes still works), written through that descriptor only,
// given its final mode, and renamed into place.

#ifndef KOB_TOOL_OUTPUT_FILE_H
#define KOB_TOOL_OUTPUT_FILE_H

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/unique_fd.h"

namespace kobtool {

// Makes SIGINT, SIGTERM and SIGHUP remove every output still being written,
// then end the process by the same signal (a shell reports 128 + its
// number). A signal ignored when the program started stays ignored, as
// nohup expects. Call once, before any output is created.
void removeUnfinishedOutputsOnSignal();

// Puts /dev/null, opened the wrong way round, on standard input, output or
// error when one is closed: files the program opens then never take those
// numbers (where a stray message or listing would land in them), and using
// the closed stream still fails as it should. Call first thing.
void occupyClosedStandardDescriptors();

// The permissions a file created by fopen gets: 0666 less the umask.
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
  int slot = -1;  // where the signal handlers find the temporary file
};

}  // namespace kobtool

#endif  // KOB_TOOL_OUTPUT_FILE_H
