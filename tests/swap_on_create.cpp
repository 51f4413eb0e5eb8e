// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded into a tool under test in place of openat(2): the moment the
// tool creates a temporary file (O_CREAT | O_EXCL, a name starting with
// ".kob"), the name is made a symbolic link to "victim" in the same folder,
// as the quickest local attacker could. The tool keeps its descriptor; only
// what it does by name afterwards meets the link.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

extern "C" int openat(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  using OpenAt = int (*)(int, const char*, int, ...);
  static const OpenAt realOpenAt =
      reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  const int fd = realOpenAt(folder, path, flags, mode);
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  if (fd >= 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) &&
      std::strncmp(name, ".kob", 4) == 0) {
    unlinkat(folder, path, 0);
    symlinkat("victim", folder, path);
  }
  return fd;
}
