// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writing packed files: kob::Packer, which writes a packed stream and can
// compress on several threads, and kob::packStream over it. The layout of
// what they write is in doc/format.md.

#ifndef KOB_KOB_PACKER_H
#define KOB_KOB_PACKER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include "kob_export.h"
#include "kob_failure.h"
#include "kob_limits.h"
#include "kob_open.h"
#include "kob_scan.h"

namespace kob {

struct PackOptions {
  // Bytes of data a chunk, 1..65535 (KobFile's bufferSize).
  int chunkSize = kDefaultChunkSize;
  // Threads that compress beside the caller's; 1: the caller compresses,
  // 0: one per core.
  unsigned threads = 1;
  // kFastestLevel..kBestLevel; kDefaultLevel writes exactly what KobFile
  // writes.
  int level = kDefaultLevel;
  // Seal the stream: flag its signature, and after its end marker write a
  // trailer with every chunk header and a checksum of every payload
  // (doc/format.md, "The seal"), so that every reader checks every byte
  // it serves, and finds any chunk at once without a saved index. false
  // writes the plain format, exactly what KobFile writes.
  bool seal = true;
};

// Writes a packed stream to `output`: the signature at once, then a chunk
// for every chunkSize bytes written, then, from finish(), the last chunk,
// the end marker and, sealed, the trailer. Its chunks are those a KobFile
// opened in WRITE with the same chunk size writes (unsealed, all its
// bytes), however many threads compress: with threads, the caller's
// thread collects and writes in order while the others compress, holding
// about two chunks and LZO's 448 KiB work area each. Sealing holds 10
// bytes more a chunk until finish() writes them (0.06% of the data in
// chunks of 16 KiB). `output` stays the caller's and is never closed.
class KOB_EXPORT Packer {
 public:
  // The options must be valid (see validOptions); the first failure shows
  // in failure(). Throws std::bad_alloc, or std::system_error when a
  // thread cannot be started.
  Packer(std::FILE* output, const PackOptions& options);
  // Stops the threads. A packer not finished leaves its stream without an
  // end marker: incomplete, as it must be after a failure.
  ~Packer();
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  // Packs `length` bytes. Returns: the first failure so far (a write of a
  // chunk that failed, a compressor that failed), ok() when none.
  Failure write(const void* data, std::size_t length);
  // Packs one byte; a chunk filled by it is written when the next byte
  // comes, or at finish.
  Failure put(unsigned char byte);
  // Writes what is collected and the end marker, and flushes `output`.
  // Returns: the first failure of the whole stream, ok() when none. Later
  // writes fail with EBADF.
  Failure finish();

  // The first failure so far.
  Failure failure() const;
  // Bytes of data taken so far, and of the packed stream written so far.
  std::uint64_t bytesTaken() const;
  std::uint64_t bytesWritten() const;

  // Returns: ok(), or the failure (EINVAL) that `options` would give.
  static Failure validOptions(const PackOptions& options);

 private:
  struct Pipeline;
  std::unique_ptr<Pipeline> pipeline;
};

// Packs everything `input` yields, to its end, into `output` with a Packer.
// `progress`, when given, is called from the calling thread with the input
// bytes done so far. Both files stay open; `output` is flushed. Returns the
// first failure: of reading `input` (action Reading), of writing `output`
// (Writing), EINVAL for invalid options, ENOMEM when memory or threads ran
// out.
KOB_EXPORT Failure packStream(
    std::FILE* input, std::FILE* output, const PackOptions& options,
    const std::function<void(std::uint64_t bytesDone)>& progress = {});

// Seals the packed file `file` (opened already; a file or a stream) into
// `output`: every chunk read and checked as `kob -t` checks it, and copied
// as it is (its payload never compressed again; members joined into one,
// their back-links mended), then the end marker and the seal's trailer
// (see PackOptions::seal). Holds 10 bytes a chunk until the trailer is
// written, and one chunk.
// Returns: the scan's report: `sealed` true when the file covers itself
// with seals already (then nothing was written); not ok() when it is not
// packed (Damage::NotPacked), damaged, or a read or a write (action
// Writing) failed, and then what was written is of no use.
KOB_EXPORT ScanReport sealPacked(OpenedFile&& file, std::FILE* output);


// Makes the packed file open on `fd` (for reading and writing) ready to
// take a new packed member at its end, as appending does: a file that ends
// anywhere but in an end marker would hide what is appended from every
// reader. Its headers are walked to the last end marker; one cut inside its
// back-link (its data whole) is completed in place. An empty file is ready
// as it is. Returns: ok(); Damage::NotPacked; the damage that keeps the
// file from ending in an end marker (CutShort for one cut before it,
// DataAfterEnd, ...) with where; or the errno of a read or write.
KOB_EXPORT Failure readyToAppend(int fd);

}  // namespace kob

#endif  // KOB_KOB_PACKER_H
