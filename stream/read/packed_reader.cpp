// SPDX-License-Identifier: GPL-2.0-or-later
#include "read/packed_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace kob {

PackedReader::PackedReader(std::unique_ptr<Source> source,
                           std::vector<unsigned char> consumed)
    : reader(std::move(source), std::move(consumed), false), cursor(reader) {
  check(cursor.start());
}

// Stops the reader on a failure: at the start of the chunk concerned.
bool PackedReader::check(const Failure& failure) {
  if (failure.ok()) return true;
  stop = failure;
  if (stop.position < 0) {
    stop.position = static_cast<std::int64_t>(cursor.chunk().position);
  }
  return false;
}

std::uint64_t PackedReader::tell() const {
  if (stopped()) return static_cast<std::uint64_t>(stop.position);
  return cursor.chunk().position + bufferPos;
}

// Moves past chunks whose bytes have all been read. Returns true when the
// current chunk has a byte to read at bufferPos.
bool PackedReader::enterDataChunk() {
  while (!isEOF()) {
    if (bufferPos < cursor.chunk().dataSize) return true;
    bufferPos = 0;
    if (!check(cursor.advance())) return false;
  }
  return false;
}

std::size_t PackedReader::read(unsigned char* buf, std::size_t len) {
  if (len == 0) {
    // Still brings the current chunk in, so that right after the last byte
    // the reader enters the end.
    if (enterDataChunk()) check(cursor.decode(bufferPos + 1, partialDecoding));
    return 0;
  }
  std::size_t delivered = 0;
  while (delivered < len && enterDataChunk()) {
    const std::size_t wanted = len - delivered;
    const std::uint32_t dataSize = cursor.chunk().dataSize;
    std::uint32_t bytes = 0;
    if (cursor.state() == ChunkCursor::State::AtHeader && bufferPos == 0 &&
        wanted >= dataSize) {
      // The whole chunk goes straight to the caller.
      if (!check(cursor.decodeInto(buf + delivered))) break;
      bytes = dataSize;
    } else {
      bytes = static_cast<std::uint32_t>(
          std::min<std::size_t>(dataSize - bufferPos, wanted));
      if (!check(cursor.decode(bufferPos + bytes, partialDecoding))) break;
      std::memcpy(buf + delivered, cursor.data() + bufferPos, bytes);
    }
    bufferPos += bytes;
    delivered += bytes;
  }
  return delivered;
}

int PackedReader::get() {
  if (!enterDataChunk() ||
      !check(cursor.decode(bufferPos + 1, partialDecoding))) {
    return -1;
  }
  return cursor.data()[bufferPos++];
}

std::int64_t PackedReader::seek(std::int64_t offset, int whence) {
  const auto here = static_cast<std::int64_t>(tell());
  if (stopped()) return here;
  std::int64_t target = offset;
  if (whence != 0 && __builtin_add_overflow(here, offset, &target)) {
    target = offset > 0 ? INT64_MAX : 0;
  }
  if (target == here) return here;
  // A target before the start lands there, from wherever the reader is:
  // even from the end of a file that holds chunks but no data.
  target = std::max<std::int64_t>(target, 0);
  // A stream cannot go back to its first header: it stays where it is.
  if (target == here && !reader.seekable()) return here;
  const auto wanted = static_cast<std::uint64_t>(target);
  const ChunkEntry& chunk = cursor.chunk();
  // Position 0 is where opening leaves the reader: at the first header,
  // before any chunks without data that come ahead of the first byte.
  const bool backToFirstHeader =
      wanted == 0 && (chunk.headerOffset != kFirstHeaderOffset ||
                      cursor.state() == ChunkCursor::State::AtEnd);
  if (cursor.state() != ChunkCursor::State::AtEnd &&
      wanted >= chunk.position && wanted - chunk.position < chunk.dataSize &&
      !backToFirstHeader) {
    bufferPos = static_cast<std::uint32_t>(wanted - chunk.position);
    return target;
  }
  if (!reader.seekable() && (wanted < chunk.position || backToFirstHeader)) {
    return -1;
  }
  bufferPos = 0;
  if (check(cursor.land(wanted)) &&
      cursor.state() != ChunkCursor::State::AtEnd) {
    bufferPos = static_cast<std::uint32_t>(wanted - cursor.chunk().position);
  }
  return static_cast<std::int64_t>(tell());
}

}  // namespace kob
