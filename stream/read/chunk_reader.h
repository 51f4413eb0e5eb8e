// SPDX-License-Identifier: GPL-2.0-or-later
//
// The one reader of packed files under everything else: KobFile's packed
// reader, kob::SharedReader, the scanner behind `kob -t` and `kob -l`, and
// the saved index all read chunks through it.
//
// A ChunkReader is a packed file's shared state: its source and the chunk
// index, behind one lock. A ChunkCursor is one reader's place in it: the
// current chunk, its decompressed data and a read window of its own. A
// cursor lands on the chunk that holds a position (a lookup in the index,
// walking the headers on where the index stops), moves on from chunk to
// chunk, and decompresses the current chunk, whole or in part. KobFile
// holds one reader and one cursor; a SharedReader one reader and a cursor
// for each thread reading at the moment.
//
// Every header is checked where it is met: as the walk passes it, when a
// cursor lands on it (it must say what the index learned), and when a
// cursor reads on to it. A header that no longer says what the index
// learned means the file changed: the index is forgotten and learned
// afresh, once; if it changes again meanwhile the call fails with EIO.
// Reading on through a chunk without data checks that its payload expands
// to nothing, so that a chunk whose size was changed to 0 cannot take its
// data out of the file without a word. Under a saved index that carries
// checksums, every payload read is checked against its own.

#ifndef KOB_READ_CHUNK_READER_H
#define KOB_READ_CHUNK_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "index/chunk_index.h"
#include "kob_scan.h"
#include "kob_failure.h"
#include "source/read_window.h"
#include "source/source.h"

namespace kob {

class ChunkReader {
 public:
  // Reads the packed file `source`, whose first bytes are the signature.
  // For a stream, `consumed` holds the bytes already read from it. `shared`:
  // for many cursors in many threads on a file that can seek, the index is
  // locked and walks go through one window of the reader's; otherwise there
  // is one cursor, in one thread at a time, and it walks through its own
  // window without locking (a stream can have no other).
  ChunkReader(std::unique_ptr<Source> source,
              std::vector<unsigned char> consumed, bool shared);

  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  Source& source() const { return *from; }
  bool seekable() const { return from->seekable(); }

  // Takes up the file's seals, when its first member is sealed (see
  // index/seal_set.h): a saved index is then not read. Else takes up the
  // saved index `indexName` ("" for none), when it can be
  // used: chunks are then known without walking to them. A verified one
  // (Valid) is believed: a payload unlike its checksum is damage, or ESTALE
  // once the file changed. An Unverified one is a hint, believed only as
  // far as the file's own headers have been read and agree with it, and
  // dropped at the first header or checksum that disagrees with the file,
  // the read going on by walking. Returns: its state; `withChecksums` whether payloads are
  // checked against it.
  // `flags` are the signature's, as the opening read them. An s3:// index
  // is read with `s3` (OpenedFile::s3Options).
  IndexState takeUpIndex(const std::string& indexName, std::uint32_t flags,
                         bool* withChecksums = nullptr,
                         const S3Options& s3 = S3Options());

  // Whether the file's seals cover it (taken up by takeUpIndex): every
  // chunk is known from them and checked against its record.
  bool sealed() const { return sealedFile; }
  // Then the chunk at `offset`, as its record says: false when none.
  bool knownAt(std::int64_t offset, ChunkEntry& chunk);

  // The state of the index taken up, as reading has left it: Stale once the
  // file disagreed with it, Unusable once it was found not to be what an
  // index must be.
  IndexState indexState();

  // Whether the file is no longer as it was when its saved index was taken
  // up: another size, times or inode, or another version elsewhere.
  bool changedSinceIndexed() const;

  // The size of the data in `size`, walking the headers to the end marker
  // the first time. Returns the damage or failed read that hides the end.
  Failure dataSize(std::uint64_t& size);

  // The frontier of the walk, as it stands.
  ChunkIndex::Frontier frontier();
  std::size_t heldBytes();

 private:
  friend class ChunkCursor;

  // The bytes a stream gave up before the reader was made, for its one
  // cursor.
  std::vector<unsigned char> takeStreamStart();

  // Holds the lock on the index while it lives, when the reader is shared.
  class Guard {
   public:
    explicit Guard(ChunkReader& reader)
        : mutex(reader.shared ? &reader.mutex : nullptr) {
      if (mutex) mutex->lock();
    }
    ~Guard() {
      if (mutex) mutex->unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    std::mutex* mutex;
  };

  std::unique_ptr<Source> from;
  std::vector<unsigned char> streamStart;  // handed to the first cursor
  const bool shared;
  std::mutex mutex;
  Identity indexedAs;  // the file, when its saved index was taken up
  IndexState taken = IndexState::Missing;  // set before any cursor reads
  bool sealedFile = false;                 // so is this
  // Guarded by mutex.
  ChunkIndex index;
  std::unique_ptr<ReadWindow> walkWindow;
};

class ChunkCursor {
 public:
  // Where the cursor stands in its current chunk.
  enum class State {
    AtHeader,  // the header has been read, the payload not yet
    Decoded,   // the payload has been decompressed, at least in part
    AtEnd,     // at the end marker: the chunk is the end of the data
  };

  explicit ChunkCursor(ChunkReader& reader);

  ChunkCursor(const ChunkCursor&) = delete;
  ChunkCursor& operator=(const ChunkCursor&) = delete;

  // The current chunk. At the end: the end marker's offset, the data's size
  // as its position, and no data.
  const ChunkEntry& chunk() const { return current; }
  State state() const { return where; }

  // Drops the file's bytes held from earlier calls: what follows reads the
  // file as it is now (a SharedReader's read, which may come long after).
  void discardHeldBytes() { window.discard(); }

  // Every call below returns the damage or failed read it met, with where;
  // the cursor is then left where it was, or at the end.

  // Makes the first chunk in the file current: position 0, ahead of any
  // chunks without data before the first byte.
  Failure start();
  // Makes `chunk`, known from the seals (ChunkReader::knownAt), current,
  // its header read and checked against its record; reads `ahead` bytes
  // more.
  Failure visit(const ChunkEntry& chunk, std::size_t ahead);
  // Makes the chunk that holds `position` current, or the end when the data
  // ends at or before it. Decompresses nothing.
  Failure land(std::uint64_t position);
  // Moves on to the next chunk that holds data, or to the end, checking
  // every chunk without data it passes (the current one too).
  Failure advance();
  // Moves on to the chunk right after the current one, with data or not
  // (checking the current one when it holds none).
  Failure next();

  // Makes the current chunk's first `end` bytes available at data(); with
  // `partial`, the first decompression may stop soon after them.
  Failure decode(std::uint32_t end, bool partial);
  // Decompresses the whole current chunk into `out`, which has room for
  // its data; data() then holds none of it.
  Failure decodeInto(unsigned char* out);
  const unsigned char* data() const { return buffer.get(); }
  // The current chunk's payload, read whole (and checked against its
  // checksum when the index has one); valid until the next call.
  Failure payload(const unsigned char*& bytes);
  // The chunk read as the reader opened, before the seals were taken up,
  // held against its record once they are: HeaderUnlikeSeal when unlike.
  Failure confirmFirst();
  std::uint32_t decoded() const { return decodedLength; }

  // Memory held: the chunk's data and the read window.
  std::size_t heldBytes() const { return bufferCapacity + window.heldBytes(); }
  std::uint64_t readCalls() const { return window.readCalls(); }

 private:
  Failure stepTo(std::int64_t offset, std::uint32_t previousPayloadSize,
                 std::uint64_t position, std::uint64_t number);
  Failure nextChunk();
  Failure readOn(std::int64_t offset, std::uint32_t previousPayloadSize,
                 std::uint64_t position, ChunkHeader& header,
                 ChunkEntry& known, bool& agreed);
  Failure landAt(std::uint64_t position);
  // Lands on the chunk with data that holds `position`, or the end.
  Failure landAtData(std::uint64_t position);
  Failure relearnAndLand(std::uint64_t position);
  Failure dropHint();
  bool jumpsOverEmpty();
  bool landsOnData();
  Failure fetchPayload(const unsigned char*& payload);
  Failure takeRecord(bool& fromSeal);
  void enterEnd(const ChunkIndex::Frontier& frontier);
  void setChunk(std::int64_t offset, std::uint64_t position,
                std::uint64_t number, const ChunkHeader& header);
  Failure here(Failure failure) const;
  // Reading on from chunk to chunk brings several at once; the first chunk
  // after landing (or opening) comes alone, with the next header: a lookup
  // reads no more than it needs.
  std::size_t readAhead() const { return chunksReadOn > 1 ? kReadAhead : 0; }
  ReadWindow& walker() {
    return reader.walkWindow ? *reader.walkWindow : window;
  }

  ChunkReader& reader;
  ReadWindow window;
  ChunkEntry current;
  State where = State::AtEnd;
  // Chunks reached by reading on since the last landing. From the second
  // on, a payload comes with a large read that brings the chunks after it
  // too; a lookup that runs into the next chunk reads no more than it needs.
  std::uint32_t chunksReadOn = 0;
  // The index has been learned afresh once in this call.
  bool relearned = false;

  std::unique_ptr<unsigned char[]> buffer;
  std::uint32_t bufferCapacity = 0;
  std::uint32_t decodedLength = 0;
};

}  // namespace kob

#endif  // KOB_READ_CHUNK_READER_H
