// SPDX-License-Identifier: GPL-2.0-or-later
#include "read/plain_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kob {
namespace {

// Bytes a read brings at least, so that reading byte by byte costs few
// reads of the source.
constexpr std::size_t kPlainReadSize = kReadAhead;

}  // namespace

PlainReader::PlainReader(std::unique_ptr<Source> source,
                         std::vector<unsigned char> consumed, int probeError)
    : from(std::move(source)),
      window(*from, std::move(consumed)),
      error(probeError) {}

std::size_t PlainReader::read(unsigned char* buf, std::size_t len) {
  std::size_t delivered = 0;
  while (delivered < len) {
    const std::size_t wanted = std::min(len - delivered, kPlainReadSize);
    ReadWindow::Bytes bytes;
    if (const int failed = window.fetch(position, wanted, kPlainReadSize, bytes)) {
      error = failed;
      break;
    }
    if (bytes.size > 0) std::memcpy(buf + delivered, bytes.data, bytes.size);
    delivered += bytes.size;
    position += static_cast<std::int64_t>(bytes.size);
    if (bytes.size < wanted) {
      ended = true;
      break;
    }
  }
  return delivered;
}

int PlainReader::get() {
  unsigned char byte;
  return read(&byte, 1) == 1 ? byte : -1;
}

std::int64_t PlainReader::seek(std::int64_t offset, int whence) {
  if (!from->seekable()) return skip(offset, whence);
  std::int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = position;
  } else if (whence == SEEK_END) {
    base = from->identity().size;
    if (base < 0) {
      errno = ESPIPE;
      return -1;
    }
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) {
    errno = EINVAL;
    return -1;
  }
  position = target;
  ended = false;
  return position;
}

// A stream reads in order: forward it reads on past the bytes skipped, as
// a packed stream does; back, or from its end, it cannot go.
std::int64_t PlainReader::skip(std::int64_t offset, int whence) {
  std::int64_t target = 0;
  if ((whence != SEEK_SET && whence != SEEK_CUR) ||
      __builtin_add_overflow(whence == SEEK_CUR ? position : 0, offset, &target) ||
      target < position) {
    errno = whence == SEEK_SET || whence == SEEK_CUR ? ESPIPE : EINVAL;
    return -1;
  }
  while (position < target && !ended && error == 0) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(target - position, kPlainReadSize));
    ReadWindow::Bytes bytes;
    if (const int failed = window.fetch(position, wanted, 0, bytes)) {
      error = failed;
      break;
    }
    position += static_cast<std::int64_t>(bytes.size);
    if (bytes.size < wanted) ended = true;
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  if (position == target) ended = false;
  return position;
}

std::int64_t PlainReader::tell() const {
  if (!from->seekable()) {
    errno = ESPIPE;
    return -1;
  }
  return position;
}

}  // namespace kob
