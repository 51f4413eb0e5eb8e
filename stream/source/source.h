// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where a file's bytes come from. Everything that reads a file reads it
// through a Source: a file descriptor (pread at any offset, from any number
// of threads at once), a stream (a pipe, FIFO or terminal, read once in
// order), bytes in memory or a file mapped into it, or an object elsewhere
// reached by requests. A source says who it is (its identity: what a saved
// index must match) and how large its reads should be, since a read may
// cost a round trip. A new kind of source is one file here and one row in
// the table of schemes (source/schemes.cpp).

#ifndef KOB_SOURCE_SOURCE_H
#define KOB_SOURCE_SOURCE_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/unique_fd.h"

namespace kob {

// How many bytes a read brings when it walks over many chunk headers of a
// file on a disk: enough that a walk costs few reads.
constexpr std::size_t kLocalWalkRead = 128 * 1024;
// How many bytes a reader reads on ahead when it reads chunk after chunk.
constexpr std::size_t kReadAhead = 64 * 1024;

// Who a source is: what a saved index records of the file it describes.
struct Identity {
  // Bytes in all; -1 for a stream, whose size nobody knows.
  std::int64_t size = -1;
  // A local file: the file itself, and its times (the change time changes
  // with every write, and no tool can set it back).
  bool local = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modifiedSeconds = 0;
  std::uint32_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::uint32_t changedNanoseconds = 0;
  // A local file's owner: who may have written a saved index beside it.
  std::uint32_t owner = 0;
  // An object elsewhere: its version as its server names it (a strong
  // ETag, or its Last-Modified time), "" when it names none.
  std::string version;

  static Identity ofLocal(const struct stat& info);
  // Whether both are the same file in the same state.
  bool same(const Identity& other) const;
};

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

  // Who it is now: a local file is asked again each time (a file rewritten
  // under a reader shows it); an object elsewhere is who it was when it
  // was opened (a later read of another version fails with ESTALE).
  virtual Identity identity() const = 0;

  // How many bytes a read should bring when it walks over many chunk
  // headers: enough that a walk costs few reads.
  virtual std::size_t walkReadSize() const { return kLocalWalkRead; }

  // The CA file an object elsewhere was opened with (OpenRules::caFile,
  // or the one the environment named), "" for none: its saved index is
  // opened with the same.
  virtual std::string caFile() const { return std::string(); }

  // The whole file in memory, where the source holds it so (a file mapped
  // into memory): a reader then serves its bytes in place, copying none.
  // Returns: false when it does not; else its bytes and their number.
  virtual bool inPlace(const unsigned char*& bytes, std::size_t& length) const {
    static_cast<void>(bytes);
    static_cast<void>(length);
    return false;
  }
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
  Identity identity() const override;
  int descriptor() const { return fd.get(); }

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
  Identity identity() const override;
  bool inPlace(const unsigned char*& in, std::size_t& length) const override {
    in = reinterpret_cast<const unsigned char*>(bytes.data());
    length = bytes.size();
    return true;
  }

 private:
  std::string bytes;
};

// The regular file on `fd` mapped into memory, read in place (see
// source/map_source.cpp). Null when it cannot be mapped; `fd` is then
// left as it was.
std::unique_ptr<Source> mapFile(UniqueFd& fd);

// Reads `count` bytes at `offset` of `source` whole. Returns: whether all
// of them were there; `error` is the errno of a read that failed, 0 when
// the source ended first.
bool readExactly(Source& source, std::int64_t offset, unsigned char* into,
                 std::size_t count, int& error);

}  // namespace kob

#endif  // KOB_SOURCE_SOURCE_H
