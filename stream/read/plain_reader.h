// SPDX-License-Identifier: GPL-2.0-or-later
//
// A file that is not packed, read as it is through its source, with the
// answers of standard I/O that KobFile promises for a plain file (kob.h):
// read as fread, get as fgetc, the end and error flags as feof and ferror.
// Local files, streams and objects elsewhere all read through it alike; a
// stream's bytes that the test for the signature took come first.

#ifndef KOB_READ_PLAIN_READER_H
#define KOB_READ_PLAIN_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "source/read_window.h"
#include "source/source.h"

namespace kob {

class PlainReader {
 public:
  // `probeError`: the errno of a first read that failed, 0 when none.
  PlainReader(std::unique_ptr<Source> source,
              std::vector<unsigned char> consumed, int probeError = 0);

  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;

  // Reads up to `len` bytes: fewer only at the end (the end flag set) or
  // when a read failed (the error flag set).
  std::size_t read(unsigned char* buf, std::size_t len);
  // The next byte, or -1 at the end or on a failed read.
  int get();
  // Moves the position to `offset` from the start, the position or the
  // end (SEEK_END needs a known size; a stream moves forward only, reading
  // on, and stops at its end). Clears the end flag where it lands.
  // Returns: the new position, or -1 with errno set.
  std::int64_t seek(std::int64_t offset, int whence);
  // The position; -1 on a stream, as ftell answers for one.
  std::int64_t tell() const;
  bool isEOF() const { return ended; }
  bool hasError() const { return error != 0; }
  int ioError() const { return error; }

 private:
  std::int64_t skip(std::int64_t offset, int whence);

  std::unique_ptr<Source> from;
  ReadWindow window;
  std::int64_t position = 0;
  bool ended = false;
  int error = 0;
};

}  // namespace kob

#endif  // KOB_READ_PLAIN_READER_H
