#include "read_window.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format.h"

namespace kob {

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

ReadWindow::ReadWindow(int aFd, bool seekable,
                       std::vector<unsigned char> consumed)
    : fd(aFd), canSeek(seekable) {
  if (!consumed.empty()) {
    reserve(consumed.size());
    std::memcpy(buffer.get(), consumed.data(), consumed.size());
    length = consumed.size();
  }
}

ReadWindow::Result ReadWindow::fetch(std::int64_t offset, std::size_t count,
                                     std::size_t ahead, Bytes& out) {
  const std::int64_t end = start + static_cast<std::int64_t>(length);
  if (offset < start || offset + static_cast<std::int64_t>(count) > end) {
    const Result refilled = canSeek
                                ? refillAt(offset, count + ahead)
                                : refillStream(offset, count, count + ahead);
    if (refilled != Result::Ok) return refilled;
  }
  const std::size_t skip = static_cast<std::size_t>(offset - start);
  out.data = buffer.get() + skip;
  out.size = std::min(count, length - std::min(length, skip));
  return Result::Ok;
}

ReadWindow::Result ReadWindow::refillAt(std::int64_t offset,
                                        std::size_t wanted) {
  length = 0;
  reserve(wanted);
  start = offset;
  while (length < wanted) {
    const long got =
        readOnce(offset + static_cast<std::int64_t>(length), wanted - length);
    if (got < 0) return Result::ReadFailed;
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  return Result::Ok;
}

// A stream keeps the bytes from `offset` on, drops those before, and reads
// on until `count` bytes are there or the stream ends.
ReadWindow::Result ReadWindow::refillStream(std::int64_t offset,
                                            std::size_t count,
                                            std::size_t wanted) {
  if (offset < start) {
    lastError = ESPIPE;
    return Result::Passed;
  }
  const std::int64_t end = start + static_cast<std::int64_t>(length);
  if (offset < end) {
    const std::size_t keep = static_cast<std::size_t>(end - offset);
    std::memmove(buffer.get(), buffer.get() + (offset - start), keep);
    length = keep;
  } else {
    // Read past the bytes nobody asked for, a buffer at a time.
    std::int64_t skip = offset - end;
    length = 0;
    reserve(wanted);
    while (skip > 0 && !streamEnded) {
      const long got =
          readOnce(0, static_cast<std::size_t>(std::min<std::int64_t>(
                          skip, static_cast<std::int64_t>(capacity))));
      if (got < 0) return Result::ReadFailed;
      if (got == 0) streamEnded = true;
      skip -= got;
    }
  }
  start = offset;
  reserve(std::max(wanted, length));
  while (length < count && !streamEnded) {
    const long got = readOnce(0, capacity - length);
    if (got < 0) return Result::ReadFailed;
    if (got == 0) streamEnded = true;
    length += static_cast<std::size_t>(got);
  }
  return Result::Ok;
}

void ReadWindow::reserve(std::size_t wanted) {
  if (capacity >= wanted) return;
  auto grown = std::make_unique_for_overwrite<unsigned char[]>(wanted);
  if (length > 0) std::memcpy(grown.get(), buffer.get(), length);
  buffer = std::move(grown);
  capacity = wanted;
}

long ReadWindow::readOnce(std::int64_t fileOffset, std::size_t room) {
  for (;;) {
    ++calls;
    const ssize_t got = canSeek ? ::pread(fd, buffer.get() + length, room,
                                          static_cast<off_t>(fileOffset))
                                : ::read(fd, buffer.get() + length, room);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) {
      lastError = errno;
      return -1;
    }
  }
}

}  // namespace kob
