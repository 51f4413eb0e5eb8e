// SPDX-License-Identifier: GPL-2.0-or-later
//
// Reading a descriptor whole, the one loop that goes on where a read stops
// short or is interrupted.

#ifndef KOB_COMMON_IO_H
#define KOB_COMMON_IO_H

#include <cstddef>
#include <cstdint>

namespace kob {

// Reads `count` bytes of `fd` into `into`: at `offset` with pread, or, with
// an offset of -1, from where the descriptor stands with read. With
// `once`, returns after the first read that brought anything (a stream
// gives what it has). Returns: the bytes read, fewer only at the end of
// the file; -1 with errno set when a read failed.
long readFully(int fd, void* into, std::size_t count, std::int64_t offset,
               bool once = false);

// The same, for the bytes at `offset` (a file that can seek).
inline long preadFully(int fd, void* into, std::size_t count,
                       std::int64_t offset) {
  return readFully(fd, into, count, offset);
}

}  // namespace kob

#endif  // KOB_COMMON_IO_H
