// SPDX-License-Identifier: GPL-2.0-or-later
#include "source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format.h"

namespace kob {

std::int64_t FileSource::readAt(std::int64_t offset, unsigned char* into,
                                std::size_t count, int& error) {
  if (!canSeek && offset != streamOffset) {
    error = ESPIPE;
    return -1;
  }
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n =
        canSeek ? ::pread(fd.get(), into + got, count - got,
                          static_cast<off_t>(offset) + static_cast<off_t>(got))
                : ::read(fd.get(), into + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      // A stream gives what it has: the caller asks again when it needs
      // more, rather than wait here for bytes it may not need.
      if (!canSeek) break;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
  if (!canSeek) streamOffset += static_cast<std::int64_t>(got);
  return static_cast<std::int64_t>(got);
}

std::int64_t MemorySource::readAt(std::int64_t offset, unsigned char* into,
                                  std::size_t count, int& error) {
  if (offset < 0) {
    error = EINVAL;
    return -1;
  }
  const auto start = static_cast<std::size_t>(
      std::min<std::int64_t>(offset, static_cast<std::int64_t>(bytes.size())));
  const std::size_t n = std::min(count, bytes.size() - start);
  if (n > 0) std::memcpy(into, bytes.data() + start, n);
  return static_cast<std::int64_t>(n);
}

SignatureProbe probeSignature(int fd) {
  SignatureProbe probe;
  struct stat info;
  probe.seekable =
      fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
  unsigned char head[kSignatureTestLength];
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = probe.seekable
                          ? ::pread(fd, head + got, sizeof head - got,
                                    static_cast<off_t>(got))
                          : ::read(fd, head + got, sizeof head - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      probe.error = errno;
      break;
    }
  }
  probe.packed = hasSignature(head, got);
  if (!probe.seekable) probe.consumed.assign(head, head + got);
  return probe;
}

long preadFully(int fd, unsigned char* into, std::size_t count,
                std::int64_t offset) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n =
        ::pread(fd, into + got, count - got, static_cast<off_t>(offset) + got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<long>(got);
}

}  // namespace kob
