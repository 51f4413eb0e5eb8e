// SPDX-License-Identifier: GPL-2.0-or-later
//
// A packed file's saved index: every chunk header of the file in file
// order, with a checksum of each chunk's payload, so that a fresh reader
// finds any chunk at once instead of walking the headers up to it, and
// finds out when a payload has changed since. Its bytes, versions 1 and 2,
// are laid out in doc/format.md ("The saved index"), with the rules below.
//
// It is a hint for where chunks are, and never more: every header it leads
// to is still read and checked where it is met. One loader takes it up for
// every source (loadIndex), through kob::openFile:
//
// - A local index must be a regular file (a link in its place is not
//   followed, a FIFO not waited for) owned by the packed file's owner, root
//   or whoever reads, and writable by nobody else.
// - Its preamble naming the packed file as it is (device, inode, size,
//   times) makes it verified (IndexState::Valid): a payload unlike its
//   checksum is damage, or ESTALE once the file changed. One naming another
//   file of the same size (a copy made with cp -p, tar or rsync), and every
//   index of an object elsewhere (whose size is all there is to match), is
//   a hint (IndexState::Unverified): a chunk is taken from it only once
//   the file's own headers from the first up to it have been read and say
//   what the index says (a position is the sum of the data sizes before,
//   which nothing at the chunk itself confirms), so that a hint changes no
//   byte served; it is dropped at the first header or checksum that
//   disagrees with the file, the read going on by walking. Another size:
//   Stale. A hint of the first version, which has no checksums, gives
//   nothing a walk does not, and is not taken up.
// - Nothing is allocated for what it claims before the bytes arrive: what
//   it holds grows as they do.
// - A block is used only once its own checksum, the chain of its headers,
//   each chunk's plausibility, and the chain of milestones from block 0 up
//   to it (the records before it summed) are what they must be; the end of
//   the data is trusted only once the chain reaches the last block.
//
// What it holds: the milestones (16 bytes every 64 chunks), the first 64
// KiB of the index, and the records of the blocks used (10 bytes a chunk);
// a block of chunks without data alone is known from its milestones and
// costs nothing.

#ifndef KOB_INDEX_SAVED_INDEX_H
#define KOB_INDEX_SAVED_INDEX_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/index_format.h"
#include "index/chunk_index.h"
#include "kob_scan.h"
#include "source/source.h"

namespace kob {

// What an index records of the local file `identity` describes.
IndexedFile indexedFileOf(const Identity& identity);

// A version 2 index, read a block at a time as lookups need them.
class SavedIndex {
 public:
  // Takes up the index of `indexSize` bytes read from `source`, whose first
  // bytes (at least the preamble, at most kReadAhead) are `first`, for a
  // packed file of `packedSize` bytes. `verified`: whether its preamble
  // names the packed file as it is. Returns null when the index is not
  // what it must be (cut short, its counts or milestones impossible, its
  // last block unsound; the other blocks are checked when used).
  static std::unique_ptr<SavedIndex> open(std::unique_ptr<Source> source,
                                          std::uint64_t indexSize,
                                          std::vector<unsigned char> first,
                                          std::int64_t packedSize,
                                          bool verified);

  // Where a records section lies (format/records.h), and what it
  // describes: the saved index's, after its preamble, or a seal's, after
  // its trailer's head.
  struct RecordsLayout {
    std::uint64_t count = 0;    // records
    std::size_t before = 0;     // bytes before the section, which its sum covers
    std::uint64_t size = 0;     // those and the section's
    // Bytes of the file (or member) the records describe: up to the end
    // of its end marker, or for `trailersAfter` up to its last trailer.
    std::int64_t chunkBytes = 0;
    // The end marker stands whole before trailers (a seal's records).
    bool trailersAfter = false;
  };
  // As open, for the records laid out as `layout` says; `source` may be
  // null when `first` holds them whole.
  static std::unique_ptr<SavedIndex> openRecords(
      std::unique_ptr<Source> source, const RecordsLayout& layout,
      std::vector<unsigned char> first, bool verified);

  // Whether it describes the packed file as it is (IndexState::Valid), or
  // is a hint (IndexState::Unverified).
  bool verified() const { return isVerified; }

  // The end of the data as the last block says it: its size, the end
  // marker's offset and number, and the payload size of the chunk before
  // it. Known only once chainToEnd() is true.
  std::uint64_t dataSize() const { return sizeOfData; }
  std::int64_t endOffset() const { return endMarkerOffset; }
  std::uint64_t chunkCount() const { return records - 1; }
  std::uint32_t lastPayloadSize() const { return lastPayload; }
  // Whether the milestones chain from block 0 to the last block, which is
  // read and checked.
  bool chainToEnd();

  // The last block, whose records no milestone after it checks: before a
  // reader trusts it (lands in it, or takes the end of the data from it) it
  // walks it in the file, checking every header against its record. Where
  // it starts, as its milestone says.
  std::int64_t tailOffset() const { return milestones.back().offset; }
  std::uint64_t tailPosition() const { return milestones.back().position; }
  std::uint64_t tailNumber() const { return (blockCount() - 1) * kBlockRecords; }
  // Chains the milestones to the last block; `before` is the header of the
  // chunk before it (all zeros for none). False when that fails: the index
  // is not what it must be.
  bool settleTail(ChunkHeader& before);
  // The `i`th record of the last block (settled): false beyond it.
  bool tailRecord(std::uint64_t i, ChunkEntry& chunk) const;

  // What a block says, once it and the chain up to it are checked; false
  // when they are not what they must be: the index is then wrong about the
  // file and not to be used.
  //   find: the chunk with data that holds `position` (below dataSize()).
  //   at:   the chunk whose header lies at `offset` (below endOffset()), or
  //         none (`found` false) when `offset` lies inside a chunk.
  //   record: the record numbered `number` (the end marker's is the
  //         last), its offset and position left unset.
  bool find(std::uint64_t position, ChunkEntry& chunk);
  bool at(std::int64_t offset, ChunkEntry& chunk, bool& found);
  bool record(std::uint64_t number, ChunkEntry& chunk);

  // The stored bytes of record `i` (in file order), once its block is
  // checked; null when the block is not what it must be.
  const unsigned char* recordBytes(std::uint64_t i);
  std::uint64_t recordCount() const { return records; }

  // Reads and checks every block, one at a time, holding none: true when
  // all are what they must be and chain from the first to the last.
  bool checkAll();

  std::size_t heldBytes() const;

 private:
  struct Milestone {
    std::int64_t offset;
    std::uint64_t position;
  };
  // A block's records as stored, checked: in what came first, or a copy.
  struct Block {
    const unsigned char* data = nullptr;
    std::vector<unsigned char> owned;
  };

  SavedIndex() = default;
  bool readHead();
  std::uint64_t blockCount() const { return milestones.size(); }
  std::uint64_t recordsIn(std::uint64_t block) const;
  std::int64_t blockAt(std::uint64_t block) const;
  // Whether the block holds chunks without data alone: its milestone and
  // the next have one position.
  bool allEmpty(std::uint64_t block) const;
  // The bytes of blocks `from` up to `until` (at most kReadAhead of them;
  // at least block `from`), from the first bytes or read into `scratch`.
  bool blockBytes(std::uint64_t from, std::uint64_t& until,
                  std::vector<unsigned char>& scratch,
                  const unsigned char*& bytes);
  // The block numbered `number`, chained, read and checked; null when any
  // of that fails.
  const Block* block(std::uint64_t number);
  bool chainTo(std::uint64_t number);
  bool check(std::uint64_t number, const unsigned char* bytes);
  const Block& keep(std::uint64_t number, const unsigned char* bytes);
  ChunkEntry entry(std::uint64_t number, std::uint64_t i,
                   const unsigned char* record, std::int64_t offset,
                   std::uint64_t position) const;
  bool emptyChunkAt(std::uint64_t number, std::int64_t offset,
                    ChunkEntry& chunk, bool& found);

  std::unique_ptr<Source> source;
  bool isVerified = false;
  std::uint64_t records = 0;
  std::uint64_t indexBytes = 0;
  std::size_t before = 0;  // bytes before the records section
  bool trailersAfter = false;
  std::vector<Milestone> milestones;  // grown as they arrive
  std::int64_t blocksAt = 0;          // where block 0 starts in the index
  std::vector<unsigned char> early;   // the index's first bytes
  std::unordered_map<std::uint64_t, Block> held;
  // Milestones 0 .. chained agree with the records before them.
  std::uint64_t chained = 0;
  std::int64_t packedSize = 0;
  std::uint64_t sizeOfData = 0;
  std::int64_t endMarkerOffset = 0;
  std::uint32_t lastPayload = 0;
};

// Takes up the saved index `indexName` (a path or URL; "" for none) of the
// packed file read through `packed`, as the header comment says. When it
// is Valid, or Unverified of the second version, `index` takes it over and
// `withChecksums` says whether it carries checksums (version 2); otherwise
// `index` is left as it was. Only Valid is an index that may be believed:
// Unverified is a hint. An s3:// index is read with `s3`, the settings its
// packed file was.
IndexState loadIndex(Source& packed, const std::string& indexName,
                     ChunkIndex& index, bool* withChecksums = nullptr,
                     const S3Options& s3 = S3Options());

// The state of the index, every block read and checked (kob -l).
IndexState checkedIndexState(Source& packed, const std::string& indexName);

}  // namespace kob

#endif  // KOB_INDEX_SAVED_INDEX_H
