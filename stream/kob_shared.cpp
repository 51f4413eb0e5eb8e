// SPDX-License-Identifier: GPL-2.0-or-later
#include "kob_shared.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "chunk_reader.h"
#include "format.h"
#include "http_source.h"
#include "kob_pack.h"
#include "source.h"
#include "unique_fd.h"

namespace kob {

// An open file: its reader, and the cursors of reads that have finished,
// kept for the next ones (each holds a read window and a chunk's data).
struct SharedReader::File {
  explicit File(std::unique_ptr<Source> source)
      : reader(std::move(source), {}, true) {}

  std::unique_ptr<ChunkCursor> takeCursor() {
    {
      std::lock_guard<std::mutex> lock(idleMutex);
      if (!idle.empty()) {
        std::unique_ptr<ChunkCursor> cursor = std::move(idle.back());
        idle.pop_back();
        return cursor;
      }
    }
    return std::make_unique<ChunkCursor>(reader);
  }

  void giveBack(std::unique_ptr<ChunkCursor> cursor) {
    std::lock_guard<std::mutex> lock(idleMutex);
    idle.push_back(std::move(cursor));
  }

  ChunkReader reader;
  std::mutex idleMutex;
  std::vector<std::unique_ptr<ChunkCursor>> idle;
};

SharedReader::SharedReader() { initCompression(); }

SharedReader::~SharedReader() = default;

bool SharedReader::open(const char* path) {
  close();
  if (path != nullptr && isUrl(path)) {
    RemoteFile remote = openRemoteFile(path);
    if (!remote.packed) {
      errno = remote.source ? EINVAL : remote.error;
      return false;
    }
    auto opened = std::make_shared<File>(std::move(remote.source));
    opened->reader.loadRemoteIndex(openRemoteIndex(path));
    std::lock_guard<std::mutex> lock(door);
    file = std::move(opened);
    return true;
  }
  // Refused before a byte is read: a FIFO would wait for a writer (to open,
  // without O_NONBLOCK, and for data), a directory answers EISDIR only to
  // a read. O_NONBLOCK changes nothing for a regular file or a disk.
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : ESPIPE;
    return false;
  }
  const SignatureProbe probe = probeSignature(fd.get());
  if (!probe.seekable || !probe.packed) {
    errno = !probe.seekable ? ESPIPE : probe.error != 0 ? probe.error : EINVAL;
    return false;
  }
  auto opened =
      std::make_shared<File>(std::make_unique<FileSource>(std::move(fd), true));
  opened->reader.loadSavedIndex(indexPathFor(path));
  std::lock_guard<std::mutex> lock(door);
  file = std::move(opened);
  return true;
}

void SharedReader::close() {
  std::shared_ptr<File> closing;
  std::lock_guard<std::mutex> lock(door);
  closing.swap(file);
}

bool SharedReader::isOpen() const { return current() != nullptr; }

std::shared_ptr<SharedReader::File> SharedReader::current() const {
  std::lock_guard<std::mutex> lock(door);
  return file;
}

void SharedReader::setPartialDecoding(bool on) { partialDecoding = on; }

ReadResult SharedReader::readAt(std::uint64_t position, void* buf,
                                std::size_t len) {
  ReadResult result;
  const std::shared_ptr<File> open = current();
  if (!open) {
    result.failure = Failure::ofError(EBADF);
    return result;
  }
  if (len == 0) return result;
  std::unique_ptr<ChunkCursor> cursor = open->takeCursor();
  cursor->discardHeldBytes();
  const bool partial = partialDecoding;
  auto* out = static_cast<unsigned char*>(buf);
  // A read from 0 starts at the first header, as a KobFile just opened
  // does, and so checks the chunks without data ahead of the first byte.
  result.failure = cursor->land(position);
  while (result.ok() && result.bytes < len &&
         cursor->state() != ChunkCursor::State::AtEnd) {
    const ChunkEntry& chunk = cursor->chunk();
    const std::uint64_t offset = position - chunk.position;
    if (offset >= chunk.dataSize) {
      result.failure = cursor->advance();
      continue;
    }
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        chunk.dataSize - offset, len - result.bytes));
    const auto end = static_cast<std::uint32_t>(offset) + wanted;
    result.failure = cursor->decode(end, partial);
    if (!result.ok()) break;
    std::memcpy(out + result.bytes, cursor->data() + offset, wanted);
    result.bytes += wanted;
    position += wanted;
  }
  open->giveBack(std::move(cursor));
  return result;
}

std::int64_t SharedReader::size() {
  const std::shared_ptr<File> open = current();
  if (!open) return -1;
  std::uint64_t size = 0;
  return open->reader.dataSize(size).ok() ? static_cast<std::int64_t>(size)
                                           : -1;
}

}  // namespace kob
