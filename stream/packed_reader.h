// The reading side of a packed file: serves its data by position,
// decompressing only the chunk that holds the bytes asked for.
//
// It holds one chunk at a time: the current chunk's header, and its data
// once a read needs it. Moving on to the next chunk reads the next header
// (usually already in the read window); a seek to a chunk already passed
// is a lookup in the chunk index, and a seek further on walks the headers
// from where the index stops. A seek decompresses nothing: the chunk it
// lands in is decompressed by the next read.
//
// Damage and read errors stop the reader for good at the start of the
// chunk where they were met, which it never serves a byte of.

#ifndef KOB_PACKED_READER_H
#define KOB_PACKED_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chunk_index.h"
#include "format.h"
#include "kob.h"
#include "read_window.h"
#include "unique_fd.h"

namespace kob {

class PackedReader {
 public:
  // Reads the packed file open on `fd`, whose first bytes are the signature.
  // For a stream, `consumed` holds the bytes already read from it.
  // `observer`, when given, sees every chunk the reader comes across.
  PackedReader(UniqueFd fd, bool seekable, std::vector<unsigned char> consumed,
               ChunkIndex::Observer observer = {});

  PackedReader(const PackedReader&) = delete;
  PackedReader& operator=(const PackedReader&) = delete;

  std::size_t read(unsigned char* buf, std::size_t len);
  int get();
  // Returns the new position; -1 on a stream when the target lies before
  // the current chunk, with nothing changed.
  std::int64_t seek(std::int64_t offset, int whence);
  std::uint64_t tell() const { return chunkStart + bufferPos; }
  bool isEOF() const { return accessMode == END; }

  Damage damage() const { return damageFound; }
  int readError() const { return readErrno; }
  bool stopped() const { return damageFound != Damage::None || readErrno != 0; }
  // File offset of the current chunk's header: after damage, of the
  // damaged chunk's.
  std::int64_t currentHeaderOffset() const { return headerOffset; }

  void setPartialDecoding(bool on) { partialDecoding = on; }
  bool seekable() const { return window.seekable(); }
  // Takes up the index saved beside the file at `path`, when it matches the
  // file: the chunks are then known without walking to them.
  void loadSavedIndex(const std::string& path);
  const ChunkIndex::Frontier& frontier() const { return index.frontier(); }

  // Memory held for the file: the chunk's data, the read window, the index.
  std::size_t heldBytes() const {
    return bufferCapacity + window.heldBytes() + index.heldBytes();
  }
  std::uint64_t readCalls() const { return window.readCalls(); }

 private:
  bool stepTo(std::int64_t offset, std::uint32_t previousPayloadSize);
  bool stepToNextChunk();
  bool enterDataChunk();
  const unsigned char* fetchPayload();
  bool decodeUpTo(std::uint32_t end);
  bool decodeInto(unsigned char* destination);
  void moveTo(std::uint64_t target);
  bool jumpTo(const ChunkEntry& entry);
  void enterEnd();
  void setChunk(const ChunkHeader& header);
  void stopAt(std::uint64_t position);
  void stopOnDamage(Damage damage);
  void stopOnReadError();

  UniqueFd descriptor;
  ReadWindow window;
  ChunkIndex index;

  // The current chunk: where its header is, what it says, and the position
  // of its first byte. In END the sizes are 0.
  std::int64_t headerOffset = kFirstHeaderOffset;
  std::uint32_t chunkDataSize = 0;
  std::uint32_t chunkSize = 0;
  std::uint32_t lastChunkSize = 0;
  std::uint64_t chunkStart = 0;
  // Index in the chunk of the next byte to read.
  std::uint32_t bufferPos = 0;
  // START: not decompressed yet; IN: decompressed, at least in part.
  AccessMode accessMode = START;
  // Chunks reached by reading on since the last seek. From the second on,
  // a payload comes with a large read that brings the chunks after it too;
  // a lookup that runs into the next chunk reads no more than it needs.
  std::uint32_t chunksReadOn = 0;

  // The current chunk's data, [0, decodedLength) of it (none when it was
  // decompressed straight into a caller's buffer).
  std::unique_ptr<unsigned char[]> buffer;
  std::uint32_t bufferCapacity = 0;
  std::uint32_t decodedLength = 0;
  bool partialDecoding = false;

  Damage damageFound = Damage::None;
  int readErrno = 0;
};

}  // namespace kob

#endif  // KOB_PACKED_READER_H
