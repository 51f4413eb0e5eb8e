// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file's saved index (doc/format.md lays out its bytes): every
// chunk header of the file in file order, with a checksum of each chunk's
// payload, so that a fresh reader finds any chunk at once instead of
// walking the headers up to it, and finds out when a payload has changed
// since. It is a hint for where chunks are, and never more: it is used
// only when it matches the file, every header it leads to is still read
// and checked where it is met, and a checksum that does not match is
// damage, never served.
//
// Before anything is allocated, a local index must be a regular file (a
// link in its place is not followed, a FIFO not waited for) owned by the
// packed file's owner or root and writable by nobody else, its preamble
// must name the file as it is, and its size must be exactly what its count
// says, the count being one the packed file's size allows. A block is
// checked when it is first read: its checksum, that its headers chain as a
// packed file's do from its milestone to the next, and that each chunk
// could be (one without data has the end code alone as its payload, one
// with data a payload large enough to hold any). A block that fails makes
// the reader forget the index and walk the file instead.

#ifndef KOB_INDEX_SAVED_INDEX_H
#define KOB_INDEX_SAVED_INDEX_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "index/chunk_index.h"
#include "format/index_format.h"
#include "kob_scan.h"
#include "source/source.h"
#include "common/unique_fd.h"

namespace kob {

// Whether `a` and `b` are the same file in the same state, as an index
// records it: device, inode, size, modification and change times.
bool sameIdentity(const struct stat& a, const struct stat& b);

// What an index records of the local file `identity` describes.
IndexedFile indexedFileOf(const Identity& identity);

// A version 2 index, read a block at a time as lookups need them.
class SavedIndex {
 public:
  // Takes up the index of `indexSize` bytes read from `source`, whose
  // first 64 bytes are `preamble`, for a packed file of `packedSize` bytes:
  // a local one described by `packedHere` (its identity must match), or
  // with none, one that lies elsewhere (its size must match). Returns null,
  // with `state` saying why, unless it is Valid.
  static std::unique_ptr<SavedIndex> open(std::unique_ptr<Source> source,
                                          std::uint64_t indexSize,
                                          const unsigned char* preamble,
                                          const struct stat* packedHere,
                                          std::int64_t packedSize,
                                          IndexState& state);

  // The end of the data: its size, the end marker's offset and number, and
  // the payload size of the chunk before it.
  std::uint64_t dataSize() const { return sizeOfData; }
  std::int64_t endOffset() const { return endMarkerOffset; }
  std::uint64_t chunkCount() const { return records - 1; }
  std::uint32_t lastPayloadSize() const { return lastPayload; }

  // What a block says, once it is read and checked; false when it cannot
  // be read or is not what it must be: the index is then wrong about the
  // file and not to be used.
  //   find: the chunk with data that holds `position` (below dataSize()).
  //   at:   the chunk whose header lies at `offset` (below endOffset()), or
  //         none (`found` false) when `offset` lies inside a chunk.
  bool find(std::uint64_t position, ChunkEntry& chunk);
  bool at(std::int64_t offset, ChunkEntry& chunk, bool& found);

  // Reads and checks every block: true when all are what they must be.
  bool checkAll();

  std::size_t heldBytes() const;

 private:
  struct Block {
    std::vector<ChunkEntry> chunks;  // every record's chunk, in order
  };

  SavedIndex() = default;
  // The block numbered `block`, read and checked; null when it fails.
  const Block* block(std::uint64_t number);
  bool check(std::uint64_t number, const unsigned char* bytes, Block& into);

  std::unique_ptr<Source> source;
  std::uint64_t records = 0;
  std::vector<std::int64_t> milestoneOffsets;
  std::vector<std::uint64_t> milestonePositions;
  std::int64_t blocksAt = 0;  // where block 0 starts in the index
  std::vector<std::unique_ptr<Block>> blocks;
  std::int64_t packedSize = 0;
  std::uint64_t sizeOfData = 0;
  std::int64_t endMarkerOffset = 0;
  std::uint32_t lastPayload = 0;
  std::uint64_t lastRead = UINT64_MAX;  // the block read last
};

// Reads the index at `indexPath` for the packed file open on `packedFd`.
// When it is Valid, `index` takes it over and `withChecksums` says whether
// it carries checksums (version 2); otherwise `index` is left as it was.
IndexState readSavedIndex(const std::string& indexPath, int packedFd,
                          ChunkIndex& index, bool* withChecksums = nullptr);

// Takes up the saved index `indexName` (a path or URL; "" for none) of
// the packed file read through `packed`: a local file's index must record
// its identity; one elsewhere must fit its size, its checksums doing the
// rest. When it is Valid, `index` takes it over and `withChecksums` says
// whether it carries checksums (version 2); otherwise `index` is left as
// it was.
IndexState loadIndex(Source& packed, const std::string& indexName,
                     ChunkIndex& index, bool* withChecksums = nullptr);

}  // namespace kob

#endif  // KOB_INDEX_SAVED_INDEX_H
