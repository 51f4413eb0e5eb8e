// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/io.h"

namespace kob {

Identity Identity::ofLocal(const struct stat& info) {
  Identity identity;
  identity.local = true;
  identity.size = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)
                      ? static_cast<std::int64_t>(info.st_size)
                      : -1;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.modifiedSeconds = info.st_mtim.tv_sec;
  identity.modifiedNanoseconds = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
  identity.changedSeconds = info.st_ctim.tv_sec;
  identity.changedNanoseconds = static_cast<std::uint32_t>(info.st_ctim.tv_nsec);
  identity.owner = static_cast<std::uint32_t>(info.st_uid);
  return identity;
}

bool Identity::same(const Identity& other) const {
  return size == other.size && local == other.local &&
         device == other.device && inode == other.inode &&
         modifiedSeconds == other.modifiedSeconds &&
         modifiedNanoseconds == other.modifiedNanoseconds &&
         changedSeconds == other.changedSeconds &&
         changedNanoseconds == other.changedNanoseconds &&
         version == other.version;
}

std::int64_t FileSource::readAt(std::int64_t offset, unsigned char* into,
                                std::size_t count, int& error) {
  if (!canSeek && offset != streamOffset) {
    error = ESPIPE;
    return -1;
  }
  // A stream gives what it has: the caller asks again when it needs more,
  // rather than wait here for bytes it may not need.
  const long got = readFully(fd.get(), into, count, canSeek ? offset : -1,
                             !canSeek);
  if (got < 0) {
    error = errno;
    return -1;
  }
  if (!canSeek) streamOffset += got;
  return got;
}

Identity FileSource::identity() const {
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return Identity();
  return Identity::ofLocal(info);
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

Identity MemorySource::identity() const {
  Identity identity;
  identity.size = static_cast<std::int64_t>(bytes.size());
  return identity;
}

bool readExactly(Source& source, std::int64_t offset, unsigned char* into,
                 std::size_t count, int& error) {
  error = 0;
  std::size_t got = 0;
  while (got < count) {
    const std::int64_t n =
        source.readAt(offset + static_cast<std::int64_t>(got), into + got,
                      count - got, error);
    if (n < 0) return false;
    if (n == 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kob
