// Whole-file operations on packed files, for tools and programs that pack,
// check or list them: a packer that compresses on several threads, and a
// scanner that walks a packed file chunk by chunk.

#ifndef KOB_KOB_PACK_H
#define KOB_KOB_PACK_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "kob_damage.h"
#include "kob_export.h"

namespace kob {

enum class PackStatus {
  Ok,
  BadChunkSize,  // chunkSize outside 1..65535
  ReadFailed,    // reading `input` failed (errno tells why)
  WriteFailed,   // writing `output` failed (errno tells why)
  OutOfMemory,
};

// Packs everything `input` yields, to its end, into `output`: byte for byte
// what a KobFile opened in WRITE with the same chunk size writes, however
// many threads compress. `threads` 0 means one per core. The calling thread
// reads and writes while `threads` others compress, holding about two
// chunks and LZO's 448 KiB work area each. `progress`, when
// given, is called from the calling thread with the input bytes done so far.
// Both files stay open; `output` is flushed.
KOB_EXPORT PackStatus packStream(
    std::FILE* input, std::FILE* output, int chunkSize, unsigned threads,
    const std::function<void(std::uint64_t bytesDone)>& progress = {});

struct ChunkInfo {
  std::uint64_t number;       // 0 for the first chunk
  std::int64_t fileOffset;    // where its header starts
  std::uint64_t position;     // its first uncompressed byte
  std::uint32_t dataSize;     // uncompressed bytes
  std::uint32_t payloadSize;  // stored bytes after the header
};

struct ScanReport {
  enum class Outcome {
    Ok,
    NotPacked,   // no signature
    Damaged,     // `damage` tells what
    ReadFailed,  // `error` is the errno
  };
  Outcome outcome = Outcome::ReadFailed;
  Damage damage = Damage::None;
  int error = 0;
  // When damaged: the chunk's number and the file offset of its header.
  std::uint64_t chunkNumber = 0;
  std::int64_t fileOffset = 0;
  // What was passed up to the end marker or the damage.
  std::uint64_t chunks = 0;
  std::uint64_t dataSize = 0;
  std::uint32_t largestChunk = 0;
  // Bytes of the packed file, up to and including its end marker.
  std::int64_t packedSize = 0;

  bool ok() const { return outcome == Outcome::Ok; }
};

// Reads the packed file on `fd` (which stays the caller's) from its start,
// or a stream from where it stands, with the same reader as KobFile: so it
// finds damage exactly when reading the file through KobFile would. With
// `decompress` it reads all the data, which checks every payload; without,
// it walks the headers only. Calls `onChunk` for every chunk passed, in
// order.
KOB_EXPORT ScanReport scanPacked(
    int fd, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {});

// ---------------------------------------------------------------------------
// A packed file's saved index (PATH.kbi): with it, a fresh KobFile or
// SharedReader opened by path finds any chunk at once instead of walking the
// headers up to it. It changes only the speed: an index that does not match
// the file is not used.

// PATH.kbi for the packed file PATH.
KOB_EXPORT std::string indexPathFor(const std::string& packedPath);

enum class IndexState {
  Valid,     // present, whole, and describes the file as it is
  Missing,   // no index beside the file
  Stale,     // describes another file or an earlier state of this one
  Unusable,  // cut short, changed, unreadable, or writable by others
};
KOB_EXPORT const char* describe(IndexState state);

// The state of the index saved for the packed file at `packedPath`.
KOB_EXPORT IndexState indexState(const std::string& packedPath);

// Walks the headers of the packed file on `packedFd` (a file that can seek;
// it stays the caller's) and writes its index to `out`. Returns the walk's
// report: not ok() when the file is damaged or a read failed, and then
// nothing useful was written. Errors writing `out` are the caller's to see
// (ferror, fflush).
KOB_EXPORT ScanReport writeIndex(int packedFd, std::FILE* out);

}  // namespace kob

#endif  // KOB_KOB_PACK_H
