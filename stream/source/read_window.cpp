// SPDX-License-Identifier: GPL-2.0-or-later
#include "source/read_window.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kob {

ReadWindow::ReadWindow(Source& source, std::vector<unsigned char> consumed)
    : from(source) {
  if (!consumed.empty()) {
    reserve(consumed.size());
    std::memcpy(buffer.get(), consumed.data(), consumed.size());
    length = consumed.size();
  }
  streamNext = static_cast<std::int64_t>(length);
}

int ReadWindow::fetch(std::int64_t offset, std::size_t count,
                      std::size_t ahead, Bytes& out) {
  const unsigned char* whole = nullptr;
  std::size_t wholeLength = 0;
  if (from.inPlace(whole, wholeLength)) {
    if (offset < 0) return EINVAL;
    const auto skip = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), wholeLength));
    out.data = whole + skip;
    out.size = std::min(count, wholeLength - skip);
    return 0;
  }
  const std::int64_t end = start + static_cast<std::int64_t>(length);
  if (offset < start || offset + static_cast<std::int64_t>(count) > end) {
    const int error = from.seekable()
                          ? refillAt(offset, count + ahead)
                          : refillStream(offset, count, count + ahead);
    if (error != 0) return error;
  }
  const std::size_t skip = static_cast<std::size_t>(offset - start);
  out.data = buffer.get() + skip;
  out.size = std::min(count, length - std::min(length, skip));
  return 0;
}

bool ReadWindow::endsBefore(std::int64_t offset) {
  if (offset <= 0) return false;
  if (!from.seekable()) return streamEnded && streamNext < offset;
  Bytes before;
  return fetch(offset - 1, 1, 0, before) == 0 && before.size == 0;
}

int ReadWindow::refillAt(std::int64_t offset, std::size_t wanted) {
  length = 0;
  reserve(wanted);
  start = offset;
  int error = 0;
  const std::int64_t got = readOnce(offset, wanted, error);
  if (got < 0) return error;
  length = static_cast<std::size_t>(got);
  return 0;
}

// A stream keeps the bytes from `offset` on, drops those before, and reads
// on until `count` bytes are there or the stream ends.
int ReadWindow::refillStream(std::int64_t offset, std::size_t count,
                             std::size_t wanted) {
  if (offset < start) return ESPIPE;
  const std::int64_t end = start + static_cast<std::int64_t>(length);
  int error = 0;
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
      const std::int64_t got = readOnce(
          streamNext, static_cast<std::size_t>(std::min<std::int64_t>(
                          skip, static_cast<std::int64_t>(capacity))),
          error);
      if (got < 0) return error;
      if (got == 0) streamEnded = true;
      skip -= got;
    }
  }
  start = offset;
  reserve(std::max(wanted, length));
  while (length < count && !streamEnded) {
    const std::int64_t got = readOnce(streamNext, capacity - length, error);
    if (got < 0) return error;
    if (got == 0) streamEnded = true;
    length += static_cast<std::size_t>(got);
  }
  return 0;
}

void ReadWindow::reserve(std::size_t wanted) {
  if (capacity >= wanted) return;
  auto grown = std::make_unique_for_overwrite<unsigned char[]>(wanted);
  if (length > 0) std::memcpy(grown.get(), buffer.get(), length);
  buffer = std::move(grown);
  capacity = wanted;
}

std::int64_t ReadWindow::readOnce(std::int64_t fileOffset, std::size_t room,
                                  int& error) {
  ++calls;
  const std::int64_t got =
      from.readAt(fileOffset, buffer.get() + length, room, error);
  if (got > 0 && !from.seekable()) streamNext += got;
  return got;
}

}  // namespace kob
