// SPDX-License-Identifier: GPL-2.0-or-later
//
// The bytes of a packed file as a reader sees them: read from its source in
// large pieces into one buffer and served from memory, so that walking over
// many chunk headers, or reading a header, its payload and the next header,
// costs one read. A source that can seek is read at any offset; a stream is
// read once, in order, and what it has passed is gone.

#ifndef KOB_READ_WINDOW_H
#define KOB_READ_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "source/source.h"

namespace kob {

class ReadWindow {
 public:
  // `source` stays the caller's and must outlive the window. For a stream,
  // `consumed` holds the bytes already read from it, the first of the file.
  explicit ReadWindow(Source& source,
                      std::vector<unsigned char> consumed = {});

  ReadWindow(const ReadWindow&) = delete;
  ReadWindow& operator=(const ReadWindow&) = delete;

  struct Bytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;  // fewer than asked at the end of the file
  };

  // Makes the `count` bytes at file offset `offset` available in `out`.
  // When it must read, it reads `ahead` more bytes in the same call (on a
  // stream, as many of them as are there). The bytes stay valid until the
  // next fetch. Returns 0, or the errno of a read that failed (ESPIPE: a
  // stream has gone past these bytes).
  int fetch(std::int64_t offset, std::size_t count, std::size_t ahead,
            Bytes& out);

  // Whether the file ends before `offset` (and not at it or beyond): the
  // byte before it is not there. False when that cannot be told.
  bool endsBefore(std::int64_t offset);

  // Drops the bytes held, so that the next fetch reads the file as it is
  // now. Not for a stream, which cannot read them again.
  void discard() {
    if (from.seekable()) length = 0;
  }

  Source& source() const { return from; }
  bool seekable() const { return from.seekable(); }
  std::size_t heldBytes() const { return capacity; }
  // Reads made so far.
  std::uint64_t readCalls() const { return calls; }

 private:
  int refillAt(std::int64_t offset, std::size_t wanted);
  int refillStream(std::int64_t offset, std::size_t count,
                   std::size_t wanted);
  void reserve(std::size_t capacity);
  // One read of the source into the buffer after its first `length` bytes;
  // returns the bytes read, or -1 with `error` set.
  std::int64_t readOnce(std::int64_t fileOffset, std::size_t room, int& error);

  Source& from;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t capacity = 0;
  // The buffer holds the file's bytes [start, start + length).
  std::int64_t start = 0;
  std::size_t length = 0;
  // A stream: where its next read starts, and whether its end was read.
  std::int64_t streamNext = 0;
  bool streamEnded = false;
  std::uint64_t calls = 0;
};

}  // namespace kob

#endif  // KOB_READ_WINDOW_H
