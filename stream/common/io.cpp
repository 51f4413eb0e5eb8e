// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/io.h"

#include <unistd.h>

#include <cerrno>

namespace kob {

long readFully(int fd, void* into, std::size_t count, std::int64_t offset,
               bool once) {
  auto* bytes = static_cast<unsigned char*>(into);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n =
        offset >= 0 ? ::pread(fd, bytes + got, count - got,
                              static_cast<off_t>(offset) +
                                  static_cast<off_t>(got))
                    : ::read(fd, bytes + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (once) break;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<long>(got);
}

}  // namespace kob
