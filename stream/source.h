// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where a packed file's bytes come from. Everything that reads a packed file
// reads it through a Source: a file descriptor (pread at any offset, from
// any number of threads at once), a stream (a pipe, FIFO or terminal, read
// once in order), or bytes in memory (for tests). A source that lives
// elsewhere, reached by requests, fits the same interface: it says how large
// its reads should be, since each read costs it a round trip.

#ifndef KOB_SOURCE_H
#define KOB_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace kob {

class Source {
 public:
  virtual ~Source() = default;

  // Reads up to `count` bytes at `offset` into `into`. Returns how many
  // there were: `count`, or fewer only where the source ends (a stream may
  // give fewer before its end, and 0 only at its end). Returns -1 with
  // `error` set to an errno when the read failed. A source that can seek
  // may be read by many threads at once.
  virtual std::int64_t readAt(std::int64_t offset, unsigned char* into,
                              std::size_t count, int& error) = 0;

  // False for a stream: it is read once, each read starting where the one
  // before ended (a ReadWindow keeps to that), by one thread.
  virtual bool seekable() const = 0;

  // How many bytes a read should bring when it walks over many chunk
  // headers: enough that a walk costs few reads.
  virtual std::size_t walkReadSize() const { return 128 * 1024; }

  // The descriptor of a local file, for what needs the file itself (its
  // saved index, its identity); -1 for other sources.
  virtual int descriptor() const { return -1; }

  // The size of the file when the source knows it without reading (an
  // object on a web server); -1 otherwise.
  virtual std::int64_t knownSize() const { return -1; }
};

// A file descriptor, owned: a regular file or block device is read with
// pread; anything else as a stream, with read.
class FileSource final : public Source {
 public:
  // A stream's next read starts at `streamStart`: the bytes before it have
  // been read already (by the probe for the signature).
  FileSource(UniqueFd aFd, bool seekable, std::int64_t streamStart = 0)
      : fd(std::move(aFd)), canSeek(seekable), streamOffset(streamStart) {}

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override;
  bool seekable() const override { return canSeek; }
  int descriptor() const override { return fd.get(); }

 private:
  UniqueFd fd;
  bool canSeek;
  std::int64_t streamOffset;  // a stream: where its next read starts
};

// Bytes held in memory, as a file that can seek.
class MemorySource final : public Source {
 public:
  explicit MemorySource(std::string aBytes) : bytes(std::move(aBytes)) {}

  std::int64_t readAt(std::int64_t offset, unsigned char* into,
                      std::size_t count, int& error) override;
  bool seekable() const override { return true; }

 private:
  std::string bytes;
};

// What the first bytes of a file opened for reading say.
struct SignatureProbe {
  bool seekable = false;  // a regular file or block device
  bool packed = false;    // it begins with the signature
  int error = 0;          // errno of a read that failed while probing
  // The bytes a stream gave up to the probe: the first of the file, to be
  // served first.
  std::vector<unsigned char> consumed;
};

// Tests the first bytes of `fd` for the packed signature. A file that can
// seek is read with pread and stays where it was; a stream's bytes are kept
// in `consumed`, so that none is lost.
SignatureProbe probeSignature(int fd);

// Reads `count` bytes at `offset` of `fd`, going on where a read stops short
// or is interrupted. Returns how many the file had (fewer at its end), or -1
// with errno set.
long preadFully(int fd, unsigned char* into, std::size_t count,
                std::int64_t offset);

}  // namespace kob

#endif  // KOB_SOURCE_H
