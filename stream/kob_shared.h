// SPDX-License-Identifier: GPL-2.0-or-later
//
// kob::SharedReader: one packed file read by many threads at once.
//
//   kob::SharedReader dictionary;
//   if (kob::Failure failed = dictionary.open("dictionary.data.kob");
//       failed.failed()) { /* failed.describe() */ }
//   dictionary.setPartialDecoding(true);
//   // in any thread, at the same time:
//   char entry[512];
//   kob::ReadResult got = dictionary.readAt(offset, entry, length);
//   if (!got.ok()) { /* got.failure.describe() */ }
//
// Reads are positional: each says where it reads and moves no shared
// position, so threads need no coordination. They share one chunk index,
// a sealed file's seal (every chunk checked against it, as KobFile checks
// it), else loaded from the file's saved index (see kob::writeIndex) or
// learned once as reads walk the headers; a lock guards the index only, never held while
// a chunk is decompressed. Each read checks the headers it meets and the
// payloads it decompresses as KobFile does, and serves no byte of a chunk
// that fails; it serves the bytes of the chunks before, and damage stops
// that read only. As KobFile, it reads the first header when it opens the
// file: while that first chunk is damaged, every read (and chunkStart and
// size) fails with it, even where a seal or an index could lead past it.
// A later read looks again: a file damaged while it was being replaced
// (cut short by a copy still running, say) reads as it is once it is
// whole.
//
// What may run beside what: readAt, size and setPartialDecoding from any
// number of threads at once, and beside them open and close: a read under
// way finishes on the file it started on, and reads that start after a
// close answer EBADF. Destroying the SharedReader while another thread is
// still inside one of its calls is the caller's to prevent, as for any
// object.
//
// A KobFile is still the choice for one thread reading in order; this is
// for many threads looking things up at random in one file.
//
// Memory, at most: the chunk index (about 2 bytes a chunk holding data
// learned, or the saved index's records or a sealed file's trailer, about
// 10 bytes a chunk), and for each
// read under way, or finished and kept for the next ones, a cursor: one
// chunk's data (at most 64 KiB) and a read window (at most a walk's read,
// 128 KiB on a disk, or a chunk and the next header) — as many cursors as
// threads have read at once, those of a parallel read's helpers among them;
// the helpers' threads themselves (setThreads) hold nothing more.

#ifndef KOB_KOB_SHARED_H
#define KOB_KOB_SHARED_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kob_export.h"
#include "kob_failure.h"
#include "kob_open.h"
#include "kob_scan.h"

namespace kob {

struct ReadResult {
  std::size_t bytes = 0;  // delivered
  // What stopped the read short, with where; ok() when nothing did.
  Failure failure;

  // False when damage or a failed read stopped the read short; a short
  // count with ok() true means the data ended.
  bool ok() const { return failure.ok(); }
};

class KOB_EXPORT SharedReader {
 public:
  SharedReader();
  ~SharedReader();
  SharedReader(const SharedReader&) = delete;
  SharedReader& operator=(const SharedReader&) = delete;

  // Opens the packed file `name`, a path or a URL (kob_open.h), which must
  // be a file that can seek (positional reads need one), and takes up the
  // saved index `index` (by default the one beside it) when it can be
  // trusted. A file open before is closed first. Reads of an object
  // elsewhere fail with ESTALE once it has changed.
  // Returns: ok() when open; else why not: an errno (ENOENT, EACCES, ...;
  //   ESPIPE for a pipe or FIFO, EISDIR for a directory, both refused
  //   before a byte is read) or Damage::NotPacked.
  Failure open(const char* name,
               const IndexChoice& index = IndexChoice::beside());
  // As above, for `file` opened already (see kob::openFile).
  Failure open(OpenedFile&& file,
               const IndexChoice& index = IndexChoice::beside());
  // Closes the file; reads under way finish first on their own.
  void close();
  bool isOpen() const;

  // As KobFile::setPartialDecoding: reads decompress a chunk only as far as
  // they need. Off by default; may change while threads read, and holds
  // for files opened later too.
  void setPartialDecoding(bool on);

  // A read of at least kParallelRead bytes spreads its chunks over up to
  // `threads` threads (0: one per core; never more than there are cores);
  // 1, the default, reads on the calling thread alone. The answers are the
  // same at every count. May change while threads read; holds for files
  // opened later too.
  void setThreads(unsigned threads);
  static constexpr std::size_t kParallelRead = 1 << 20;

  // Reads up to `len` bytes of the data from `position` into `buf`; any
  // number of threads at once. A chunk wanted whole is decompressed
  // straight into `buf`; bytes of `buf` past the count returned are
  // unspecified.
  // Returns: the bytes delivered, fewer than `len` when the data ends (0 at
  //   or beyond its end) or when damage or a failed read stops it (then
  //   ok() is false and `failure` says what and where). With no file open:
  //   0 bytes, error EBADF.
  ReadResult readAt(std::uint64_t position, void* buf, std::size_t len);

  // Sets `start` to the position of the first byte of the chunk that holds
  // `position` (the data's size at or beyond its end): where a split of
  // the data among workers should fall, so that no chunk is decompressed
  // twice. Decompresses nothing; with a verified saved index, reads no
  // chunk (under a hint, the headers before it, once).
  // Returns: ok(), or the damage or failed read met on the way there;
  // EBADF with no file open.
  Failure chunkStart(std::uint64_t position, std::uint64_t& start);

  // Sets `size` to the size of the data, walking the headers to its end
  // the first time. Returns: ok(), or the damage or failed read that hides
  // the end, with where; EBADF with no file open.
  Failure dataSize(std::uint64_t& size);
  // As dataSize: the size, or -1 on failure.
  std::int64_t size();

 private:
  struct File;
  std::shared_ptr<File> current() const;

  mutable std::mutex door;  // guards `file`: the pointer, not the file
  std::shared_ptr<File> file;
  std::atomic<bool> partialDecoding{false};
  std::atomic<unsigned> threads{1};
};

}  // namespace kob

#endif  // KOB_KOB_SHARED_H
