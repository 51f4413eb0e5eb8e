// SPDX-License-Identifier: GPL-2.0-or-later
//
// The seals of a packed file: each sealed member's trailer (see
// format/seal_format.h), checked, and read as the records of its chunks
// through a SavedIndex over it. A seal is the file's own: unlike a saved
// index beside the file, it is never a hint, and a chunk unlike its record
// is damage.
//
// A file that can seek is first looked at from its end: the footer there
// leads to its member's trailer and signature, and the footer before that
// signature to the member before, and so on (fromTail). When that chain
// reaches the file's first byte, every chunk of the file is known from the
// seals at once, and a reader needs no walk. A member the chain does not
// reach (an unsealed one stands between) is checked when a walk reaches its
// end marker (openSeal), before any of its chunks is served.
//
// What it holds: every trailer read, about 10.4 bytes a chunk (0.06% of
// the data in chunks of 16 KiB), and a block of 64 records for each block
// used whose records lie beyond the trailer's first bytes (none do: each
// trailer is held whole).

#ifndef KOB_INDEX_SEAL_SET_H
#define KOB_INDEX_SEAL_SET_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/chunk_index.h"
#include "format/seal_format.h"
#include "index/saved_index.h"
#include "source/source.h"

namespace kob {

// What a walk knows of a member when it meets its end marker, for the
// member's seal to agree with.
struct MemberEnd {
  std::int64_t start = 0;         // the offset of its signature
  std::int64_t endMarker = 0;     // the offset of its end marker
  std::uint32_t lastPayload = 0;  // the end marker's back-link
  std::uint64_t trailerBytes = 0;  // of the trailers after the end marker
  std::uint64_t records = 0;      // its chunks and end marker
  std::uint64_t dataSize = 0;
};

// The records of a sealed member, relative to its start.
struct SealedMember {
  std::int64_t start = 0;        // its signature's offset in the file
  std::uint64_t dataStart = 0;   // its first byte's position in the data
  std::uint64_t firstChunk = 0;  // the number of its first chunk
  std::uint64_t trailerBytes = 0;
  std::uint64_t sealBytes = 0;
  std::unique_ptr<SavedIndex> records;
};

// Checks `trailer` (the seal's trailer read whole) of a member whose
// signature says `flags`: its own checksum and head, its footer's counts
// (into `footer`), its records' last block; with `end`, that they are
// those of the member the walk met. Returns the member's records, or null
// when the seal is not sound or not the member's.
std::unique_ptr<SavedIndex> openSeal(std::vector<unsigned char> trailer,
                                     std::uint32_t flags, SealFooter& footer,
                                     const MemberEnd* end);

class SealSet {
 public:
  // The sealed members found from the end of `source`, which can seek and
  // begins with `signature` (its first bytes, read already), reading its
  // last bytes once (and the rest of a trailer larger than that once
  // more). Null when the last member is not sealed or its seal is not
  // sound (a walk then finds what is wrong).
  static std::unique_ptr<SealSet> fromTail(Source& source,
                                           const unsigned char* signature);

  // Whether the members run from the file's first byte to its last.
  bool coversFile() const { return covers; }

  // Adds `member`, after those held.
  void add(SealedMember member) { members.push_back(std::move(member)); }
  bool empty() const { return members.empty(); }
  // The member whose chunks hold `offset`; null when none is held.
  const SealedMember* memberAt(std::int64_t offset) const;

  // As SavedIndex::find and at, over all members: the chunk with data that
  // holds `position`, and the chunk whose header lies at `offset` (an end
  // marker with another member after it joins it). False when a block is
  // not what it must be.
  bool find(std::uint64_t position, ChunkEntry& chunk);
  bool at(std::int64_t offset, ChunkEntry& chunk, bool& found);

  // The end of the data, as the last member's seal says it.
  std::uint64_t dataSize() const;
  std::int64_t endOffset() const;
  std::uint64_t chunkCount() const;
  std::uint32_t lastPayloadSize() const;
  const SealedMember& last() const { return members.back(); }
  // The records of a file that is one sealed member, handed over; null
  // for a file of several members.
  std::unique_ptr<SavedIndex> releaseWhole();

  std::size_t heldBytes() const;

 private:
  ChunkEntry shifted(const SealedMember& member, std::size_t i,
                     ChunkEntry chunk) const;

  std::vector<SealedMember> members;  // in file order
  bool covers = false;
};

// Reading a sealed member as a stream: every header and payload checksum
// kept as it passes, in the records' own bytes, and compared with the
// trailer when it comes. Holds 10 bytes a chunk of the member.
class SealCheck {
 public:
  // A member starts: its first header at `firstHeader`, its first chunk
  // numbered `firstChunk`.
  void start(std::int64_t firstHeader, std::uint64_t firstChunk);
  // A header passes at `offset`; and a payload's checksum, when read.
  void pass(std::int64_t offset, const ChunkHeader& header);
  void payload(std::int64_t offset, std::uint32_t checksum);
  // Compares what passed with `seal` (the member's, checked). Returns the
  // first chunk unlike its record: its damage (HeaderUnlikeSeal,
  // PayloadUnlikeSeal) with where; ok() when every one agrees.
  Failure compare(SavedIndex& seal, std::int64_t memberStart,
                  std::uint64_t dataStart) const;

 private:
  std::vector<unsigned char> kept;     // a record a chunk
  std::vector<bool> checksummed;       // its payload was read
  std::int64_t lastOffset = -1;
  std::uint64_t firstChunk = 0;
};

}  // namespace kob

#endif  // KOB_INDEX_SEAL_SET_H
