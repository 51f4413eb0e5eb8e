// Whole-file operations on packed files, for tools and programs that pack,
// check or list them: a packer that compresses on several threads, and a
// scanner that walks a packed file chunk by chunk.

#ifndef KOB_KOB_PACK_H
#define KOB_KOB_PACK_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

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
// many threads compress. `threads` 0 means one per core. `progress`, when
// given, is called from the calling thread with the input bytes done so far.
// Both files stay open; `output` is flushed.
PackStatus packStream(
    std::FILE* input, std::FILE* output, int chunkSize, unsigned threads,
    const std::function<void(std::uint64_t bytesDone)>& progress = {});

struct ChunkInfo {
  std::size_t number;         // 0 for the first chunk
  long fileOffset;            // where its header starts
  std::uint64_t position;     // its first uncompressed byte
  std::uint32_t dataSize;     // uncompressed bytes
  std::uint32_t payloadSize;  // stored bytes after the header
};

struct ScanReport {
  bool ok = false;
  // When not ok: what is wrong, and where: the chunk's number and the file
  // offset of its header (or of the signature).
  std::string problem;
  std::size_t chunkNumber = 0;
  long fileOffset = 0;
  // What was read up to the end marker or the damage.
  std::size_t chunks = 0;
  std::uint64_t dataSize = 0;
  std::uint32_t largestChunk = 0;
  long fileSize = 0;
};

// Walks the packed file `file` from its start: checks the signature, each
// header's sizes and back-link, that nothing follows the end marker, and,
// when `decompress` is true, that each payload expands to exactly its stated
// size. Calls `onChunk` for every good chunk, in order. Stops at the first
// damage.
ScanReport scanPacked(
    std::FILE* file, bool decompress,
    const std::function<void(const ChunkInfo&)>& onChunk = {});

}  // namespace kob

#endif  // KOB_KOB_PACK_H
