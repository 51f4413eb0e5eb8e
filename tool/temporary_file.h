// An output written under a temporary name beside its final one, renamed
// into place only once it is complete, and removed otherwise: a failure
// never leaves a partial file under the final name nor destroys a file
// already there.

#ifndef KOB_TOOL_TEMPORARY_FILE_H
#define KOB_TOOL_TEMPORARY_FILE_H

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

class TemporaryFile {
 public:
  explicit TemporaryFile(std::string aFinalPath)
      : finalPath(std::move(aFinalPath)), path(finalPath + ".XXXXXX") {}
  ~TemporaryFile() { discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the file, with the permissions fopen would give a new file.
  // Returns 0, or the errno of the failure.
  int create() {
    int fd = mkstemp(path.data());
    if (fd < 0) return errno;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    ::close(fd);
    created = true;
    return 0;
  }

  const char* name() const { return path.c_str(); }

  // Renames the file over the final path. Returns 0, or the errno of the
  // failure, in which case the file is removed.
  int commit() {
    if (std::rename(path.c_str(), finalPath.c_str()) != 0) {
      int error = errno;
      discard();
      return error;
    }
    created = false;
    return 0;
  }

  void discard() {
    if (created) std::remove(path.c_str());
    created = false;
  }

 private:
  std::string finalPath;
  std::string path;
  bool created = false;
};

#endif  // KOB_TOOL_TEMPORARY_FILE_H
