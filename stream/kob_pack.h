// SPDX-License-Identifier: GPL-2.0-or-later
//
// Whole-file operations on packed files, for tools and programs that pack,
// check or list them: kob::Packer, which writes a packed stream and can
// compress on several threads; kob::packStream over it; a scanner that walks
// a packed file chunk by chunk; and the saved index. Every operation that
// can fail answers with a kob::Failure (kob_failure.h).

#ifndef KOB_KOB_PACK_H
#define KOB_KOB_PACK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "kob_export.h"
#include "kob_failure.h"
#include "kob_limits.h"

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
};

// Writes a packed stream to `output`: the signature at once, then a chunk
// for every chunkSize bytes written, then, from finish(), the last chunk
// and the end marker. Its bytes are those a KobFile opened in WRITE with
// the same chunk size writes, however many threads compress: with threads,
// the caller's thread collects and writes in order while the others
// compress, holding about two chunks and LZO's 448 KiB work area each.
// `output` stays the caller's and is never closed.
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

// The state of a packed file's saved index (see below).
enum class IndexState {
  Valid,     // present, whole, and describes the file as it is
  Missing,   // no index beside the file
  Stale,     // describes another file or an earlier state of this one
  Unusable,  // cut short, changed, unreadable, a link, not a regular
             // file, or writable by others
};
KOB_EXPORT const char* describe(IndexState state);

// A chunk, as a scan passes it.
struct ChunkInfo {
  std::uint64_t number;       // 0 for the first chunk
  std::int64_t fileOffset;    // where its header starts
  std::uint64_t position;     // its first uncompressed byte
  std::uint32_t dataSize;     // uncompressed bytes
  std::uint32_t payloadSize;  // stored bytes after the header
};

struct ScanReport {
  // Not packed: the file does not begin with the signature.
  bool packed = false;
  // Every payload read was checked against its checksum in the file's
  // saved index.
  bool contentChecked = false;
  // What stopped the scan before the end marker, with where; ok() when it
  // reached the end marker (and a packed file).
  Failure failure;
  // What was passed up to the end marker or the failure.
  std::uint64_t chunks = 0;
  std::uint64_t dataSize = 0;
  std::uint32_t largestChunk = 0;
  // Bytes of the packed file, up to and including its end marker.
  std::int64_t packedSize = 0;
  // The state of the file's saved index, where the caller asked for it.
  IndexState indexState = IndexState::Missing;

  bool ok() const { return packed && failure.ok(); }
};

// Reads the packed file on `fd` (which stays the caller's) from its start,
// or a stream from where it stands, chunk by chunk, with the same reader as
// KobFile: so it finds damage exactly when reading the file through KobFile
// would. With `decompress` it decompresses every payload; without, it
// reads the headers (and checks the chunks without data, as reading through
// them does). Calls `onChunk` for every chunk, in order. With `indexPath`,
// the index saved there is used when it is valid for the file, and its
// checksums, when it carries them, are checked against every payload read
// (contentChecked says so).
KOB_EXPORT ScanReport scanPacked(
    int fd, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {},
    const char* indexPath = nullptr);

// As scanPacked, for the packed file at the http:// or https:// `url`, with
// the index at `url`.kbi when the server has one that matches (indexState
// says Valid then, Missing otherwise). A failed request is a failure with
// its errno (see KobFile::open); ESTALE when the object changed meanwhile.
KOB_EXPORT ScanReport scanUrl(
    const char* url, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {});

// ---------------------------------------------------------------------------
// URLs: names starting exactly with "http://" or "https://" are read from a
// web server (KobFile::open, SharedReader::open, scanUrl, recoverUrl); any
// other name is a local path ("./http:..." reaches a local file so named).

KOB_EXPORT bool isUrl(const std::string& name);

// `url` as it may be shown in a message: without user name, password,
// query string or fragment. Any other name is returned as it is.
KOB_EXPORT std::string displayName(const std::string& url);

// The URL of the saved index beside the packed file at `url`: ".kbi" after
// its path, before a query string, which is kept.
KOB_EXPORT std::string indexUrlFor(const std::string& url);

// ---------------------------------------------------------------------------
// Salvage: what can be saved of a damaged packed file.

// A chunk lost to damage.
struct Loss {
  std::uint64_t chunk = 0;      // its number (counted, where headers are gone)
  std::int64_t fileOffset = -1;  // of its header, -1 when not known
  std::uint64_t position = 0;   // in the data written, where its zeros start
  std::uint64_t length = 0;     // bytes of data lost, written as zeros
  // False when the size was inferred (the writer's chunk size), or, with a
  // length of 0, when the rest of the data is gone at a size nobody knows.
  bool lengthKnown = true;
  Failure why;  // the damage met
};

struct RecoveryReport {
  // What stopped the salvage itself (a read or write that failed, or not a
  // packed file: EINVAL; one that cannot seek: ESPIPE); ok() otherwise.
  Failure failure;
  bool usedIndex = false;       // a saved index gave every chunk's place
  std::uint64_t dataWritten = 0;
  std::uint64_t losses = 0;     // chunks lost
  std::uint64_t bytesLost = 0;  // of them, written as zeros

  // The whole data came out.
  bool whole() const { return failure.ok() && losses == 0; }
};

// Writes to `output` the data of every intact chunk of the packed file on
// `fd` (a file that can seek; it stays the caller's), and zeros for each
// lost chunk so that the data after it keeps its position; calls `onLoss`
// for every chunk lost. With `indexPath`, a saved index there (version 2)
// that matches the file gives every chunk's place and size, and checks each
// payload. Without, it reads on past a header that cannot be read by
// finding the next header whose payload expands to its size and whose
// next header chains to it, counting the chunks lost back along the
// back-links, and taking those it cannot count to be of the writer's chunk
// size. `output` stays open and is flushed.
KOB_EXPORT RecoveryReport recoverPacked(
    int fd, const char* indexPath, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {});

// As recoverPacked, for the packed file at the http:// or https:// `url`,
// placed by the index at `url`.kbi when the server has one that matches.
KOB_EXPORT RecoveryReport recoverUrl(
    const char* url, std::FILE* output,
    const std::function<void(const Loss&)>& onLoss = {});

// ---------------------------------------------------------------------------
// A packed file's saved index (PATH.kbi): with it, a fresh KobFile or
// SharedReader opened by path finds any chunk at once instead of walking the
// headers up to it. It changes only the speed: an index that does not match
// the file is not used.

// PATH.kbi for the packed file PATH.
KOB_EXPORT std::string indexPathFor(const std::string& packedPath);


// The state of the index saved for the packed file at `packedPath`; with
// `packedFd`, for the packed file open there (the name is then used only to
// find the index).
KOB_EXPORT IndexState indexState(const std::string& packedPath);
KOB_EXPORT IndexState indexState(const std::string& packedPath, int packedFd);

// Whether the file at `packedPath`.kbi is an index (valid or not) of the
// packed file open on `packedFd`: a regular file, not a link, that names
// that file's device and inode. What `kob -d --rm` removes with its input.
KOB_EXPORT bool isIndexOf(const std::string& packedPath, int packedFd);

// Reads the packed file on `packedFd` (a file that can seek; it stays the
// caller's) chunk by chunk, checking every payload as `kob -t` does, and
// writes its index to `out`: version 2, with a checksum of every payload.
// Returns the scan's report: not ok() when the file is not packed, damaged
// or a read failed, and then nothing useful was written. Errors writing
// `out` are the caller's to see (ferror, fflush).
KOB_EXPORT ScanReport writeIndex(int packedFd, std::FILE* out);

}  // namespace kob

#endif  // KOB_KOB_PACK_H
