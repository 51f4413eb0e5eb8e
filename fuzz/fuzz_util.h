// SPDX-License-Identifier: GPL-2.0-or-later
// Shared by the fuzz targets: checks that survive release builds, and a
// scratch file per process (packed files are opened by path).

#ifndef KOB_FUZZ_FUZZ_UTIL_H
#define KOB_FUZZ_FUZZ_UTIL_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

namespace kobfuzz {

// The process's scratch file, removed when the process ends.
inline const std::string& scratchPath(const char* name) {
  static const struct Scratch {
    std::string path;
    ~Scratch() { unlink(path.c_str()); }
  } scratch{[name] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/" + name + "." + std::to_string(getpid());
  }()};
  return scratch.path;
}

inline void writeScratch(const std::string& path, const unsigned char* data,
                         std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
}

}  // namespace kobfuzz

#endif  // KOB_FUZZ_FUZZ_UTIL_H
