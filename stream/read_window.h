// The bytes of a packed file as the reader sees them: read in large pieces
// into one buffer and served from memory, so that walking over many chunk
// headers, or reading a header, its payload and the next header, costs one
// system call. A file that can seek is read with pread at any offset; a
// stream (a pipe, a FIFO, a terminal or other device) is read once, in
// order, and what it has passed is gone.

#ifndef KOB_READ_WINDOW_H
#define KOB_READ_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kob {

// What the first bytes of a file opened for reading say.
struct SignatureProbe {
  bool seekable = false;  // a regular file or block device
  bool packed = false;    // it begins with the signature
  int error = 0;          // errno of a read that failed while probing
  // The bytes a stream gave up to the probe, to be served first.
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

class ReadWindow {
 public:
  // `fd` stays the caller's. For a stream, `consumed` holds the bytes the
  // caller has already read from it, the first of the file.
  ReadWindow(int fd, bool seekable, std::vector<unsigned char> consumed = {});

  ReadWindow(const ReadWindow&) = delete;
  ReadWindow& operator=(const ReadWindow&) = delete;

  struct Bytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;  // fewer than asked at the end of the file
  };

  enum class Result {
    Ok,
    ReadFailed,  // error() tells why
    Passed,      // a stream has gone past these bytes
  };

  // Makes the `count` bytes at file offset `offset` available. When it must
  // read, it reads `ahead` more bytes in the same call (on a stream, as many
  // of them as are there). The bytes stay valid until the next fetch.
  Result fetch(std::int64_t offset, std::size_t count, std::size_t ahead,
               Bytes& out);

  bool seekable() const { return canSeek; }
  // The errno of the read that failed.
  int error() const { return lastError; }
  std::size_t heldBytes() const { return capacity; }
  // Read calls made so far.
  std::uint64_t readCalls() const { return calls; }

 private:
  Result refillAt(std::int64_t offset, std::size_t wanted);
  Result refillStream(std::int64_t offset, std::size_t count,
                      std::size_t wanted);
  void reserve(std::size_t capacity);
  // One read(2) or pread(2) into the buffer after its first `length`
  // bytes; returns its result, retrying when interrupted.
  long readOnce(std::int64_t fileOffset, std::size_t room);

  int fd;
  bool canSeek;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t capacity = 0;
  // The buffer holds the file's bytes [start, start + length).
  std::int64_t start = 0;
  std::size_t length = 0;
  // A stream: its end has been read.
  bool streamEnded = false;
  int lastError = 0;
  std::uint64_t calls = 0;
};

}  // namespace kob

#endif  // KOB_READ_WINDOW_H
