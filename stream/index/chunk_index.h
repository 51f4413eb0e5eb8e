// SPDX-License-Identifier: GPL-2.0-or-later
//
// What a reader knows of a packed file's chunks: the chunks that hold data,
// learned from their headers in file order, and the frontier where that
// walk stands. With it a seek to any chunk already passed is a lookup and
// one read, in either direction; a seek further on walks on from the
// frontier, reading many headers at a time through a read window.
//
// The walk is the one reading of the file's structure: every header is
// checked where it is met (complete, its back-link matching the chunk
// before, nothing after the end marker) and the first damage stops it
// there. So whatever path a reader takes, it meets the same damage at the
// same place. A walk stopped by damage reads the damaged header again when
// it is next asked to go on, so that a file mended meanwhile (copied back
// whole, say) reads as it now is.

#ifndef KOB_INDEX_CHUNK_INDEX_H
#define KOB_INDEX_CHUNK_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/format.h"
#include "index/read_header.h"
#include "kob_failure.h"
#include "source/read_window.h"

namespace kob {

class MemberSeals;
class SavedIndex;
class SealSet;

// A chunk that holds data, as its header said when it was learned.
struct ChunkEntry {
  std::int64_t headerOffset = kFirstHeaderOffset;
  std::uint64_t position = 0;  // of its first byte in the data
  std::uint64_t number = 0;    // 0 for the first chunk in the file
  std::uint16_t dataSize = 0;
  std::uint16_t payloadSize = 0;
  std::uint16_t backLink = 0;
  // A checksum of its payload, from a saved index that carries them.
  bool hasChecksum = false;
  std::uint32_t checksum = 0;
  // The end marker of a member that another follows, and its trailers
  // (see ChunkHeader).
  bool joinsNext = false;
  std::uint64_t trailerBytes = 0;
  std::uint64_t sealBytes = 0;

  ChunkHeader header() const {
    ChunkHeader h;
    h.dataSize = dataSize;
    h.payloadSize = payloadSize;
    h.backLink = backLink;
    h.joinsNext = joinsNext;
    h.trailerBytes = trailerBytes;
    h.sealBytes = sealBytes;
    return h;
  }
  // Where the header after it starts.
  std::int64_t nextOffset() const {
    return headerOffset + static_cast<std::int64_t>(header().span());
  }
};

class ChunkIndex {
 public:
  // Where the walk stands: the next header to read, and what it must say.
  struct Frontier {
    enum State { Open, Ended, Damaged };
    std::int64_t headerOffset = kFirstHeaderOffset;
    std::uint64_t position = 0;
    std::uint32_t previousPayloadSize = 0;
    std::uint32_t previousDataSize = 0;
    std::uint64_t chunksPassed = 0;  // the number of the chunk there
    // Ended: the header at headerOffset is the end marker and `position`
    // the size of the data. Damaged: that header is damaged, as `damage`
    // says.
    State state = Open;
    Damage damage = Damage::None;
  };

  // Where a position lies: in `chunk`, or at or beyond the end of the data.
  struct Location {
    bool atEnd = false;
    ChunkEntry chunk;
  };

  // A reader of a stream keeps only the last chunk learned: it cannot go
  // back to the others.
  explicit ChunkIndex(bool aKeepEntries = true);
  ~ChunkIndex();
  ChunkIndex(ChunkIndex&&) noexcept;
  ChunkIndex& operator=(ChunkIndex&&) noexcept;

  const Frontier& frontier() const { return front; }

  // Finds where `position` lies, walking on from the frontier when it lies
  // beyond (frontier().position is the data's size when it lies at the
  // end). Returns the damage or failed read that stops the walk first,
  // with where it is.
  Failure locate(std::uint64_t position, ReadWindow& window,
                 Location& where);

  // Reads the header at the frontier into `header` and learns it (a chunk,
  // the end marker, or damage), reading a damaged one again. Not at the
  // end. Reads `ahead` more bytes when it must read.
  Failure learnNext(ReadWindow& window, std::size_t ahead,
                    ChunkHeader& header);

  // Moves the frontier past the chunk whose checked header `header` stands
  // there, keeping it when it holds data.
  void pass(const ChunkHeader& header);

  // Takes the file's seals, which cover it (SealSet::coversFile), as the
  // records of every chunk: the frontier at the end of the data, every
  // header a reader is led to checked against its record. A chunk unlike
  // its record is damage: the seals are never dropped.
  void adopt(std::unique_ptr<SealSet> seals);
  // Whether they were.
  bool sealed() const { return seals != nullptr; }
  // With them, the chunk whose header lies at `offset` as its record says
  // (the end marker of the data among them); false when none lies there.
  bool knownAt(std::int64_t offset, ChunkEntry& chunk);

  // The record `record` of `chunk` (learned by the walk) in its member's
  // seal, on a file that can seek: when the walk has not yet passed the
  // member's end marker, it walks on to it and checks the seal first.
  // `found` false when the member is not sealed. Returns the damage or
  // failed read that stopped the walk before the seal was checked.
  Failure sealRecord(const ChunkEntry& chunk, ReadWindow& window,
                     ChunkEntry& record, bool& found);

  // A stream's sealed member: whether what passes is kept for its seal,
  // and the checksum of a payload read at `offset`.
  bool checksStream() const;
  void notePayload(std::int64_t offset, std::uint32_t checksum);

  // Whether the sound header `header`, read at `offset`, says what the
  // index learned of that place: a chunk known there must be that chunk,
  // and where none is known below the frontier only a chunk without data
  // can stand; at an end marker the walk reached, only an end marker.
  // Headers beyond the frontier agree with anything. `known` is the chunk
  // known there, if any (its checksum is what the payload must have).
  bool agrees(std::int64_t offset, const ChunkHeader& header,
              ChunkEntry* known = nullptr);

  // Why what a saved index said was forgotten, if it was: the file
  // disagreed with it, or it was not what an index must be.
  enum class Dropped { No, Disagreed, Broken };

  // Forgets everything, as when the file changed under the reader; what
  // came from a saved index is forgotten as `why` says.
  void forget(Dropped why = Dropped::Disagreed);

  // Walks on from the frontier until it stands at `offset` or beyond.
  // Returns the damage or failed read met first, with where.
  Failure walkTo(std::int64_t offset, ReadWindow& window);

  // With a saved index of the second version, before `chunk` (null: the
  // end of the data) is taken from its last block, whose records no
  // milestone after it checks: that block is walked in the file once,
  // every header checked against its record. Returns a failed read;
  // `sound` false when the index was wrong and has been forgotten.
  Failure confirmTail(const ChunkEntry* chunk, ReadWindow& window,
                      bool& sound);

  // Under a saved index that is a hint (not verified), `header`, sound and
  // agreeing with the index, was read at `offset` by reading on from a
  // chunk whose position is known: when it stands where the proof of the
  // hint has come to (see `proved`), the proof moves past it.
  void passedUnderHint(std::int64_t offset, std::uint64_t position,
                       const ChunkHeader& header);

  // Takes the end marker to stand at the frontier, as a file's saved index
  // says, without reading it: locate reads it before it is trusted.
  void assumeEnd();

  // Takes over what `other` learned (a file's saved index of the first
  // version, read into it), keeping this index's own settings; or a saved
  // index of the second, read a block at a time. Every header it leads to
  // is still checked where it is met.
  void adopt(ChunkIndex&& other);
  void adopt(std::unique_ptr<SavedIndex> index);

  // Hands the saved index of the second version over, if there is one
  // and its milestones chain to its end.
  std::unique_ptr<SavedIndex> releaseSaved();

  // Whether a saved index of the second version is held, and whether it
  // names the file as it is (not a hint).
  bool hasSaved() const { return saved != nullptr; }
  bool savedVerified() const;
  // Why what a saved index said was forgotten, if it was.
  Dropped savedDropped() const { return dropped; }

  // With a saved index of the second version: whether every block of it
  // is what it must be (each is otherwise checked only when used).
  bool savedIsWhole();

  // The failure at the frontier, with where it is.
  Failure frontierFailure(Failure failure) const;

  // Memory held for the chunks: about 2 bytes a chunk holding data, and a
  // little for every 64 chunks and every stretch of chunks without data;
  // or what the saved index holds of its blocks.
  std::size_t heldBytes() const;

 private:
  // A stretch of data chunks of one data size.
  struct Run {
    std::uint64_t firstEntry;
    std::uint64_t firstPosition;
    std::uint32_t dataSize;
  };
  // Chunks without data, all together before the data chunk `beforeEntry`.
  struct Gap {
    std::uint64_t beforeEntry;
    std::uint64_t chunksSoFar;  // chunks without data in this gap and before
    std::int64_t bytes;         // their headers and payloads
    std::uint32_t lastPayloadSize;
  };
  static constexpr std::uint64_t kMilestoneEvery = 64;

  std::uint64_t entryCount() const { return payloads.size(); }
  ChunkEntry entryAt(std::uint64_t entry) const;
  std::int64_t headerOffsetOf(std::uint64_t entry) const;
  // The first entry whose header lies at or after `offset` (entryCount()
  // when none does).
  std::uint64_t firstEntryFrom(std::int64_t offset) const;
  Failure confirmEnd(ReadWindow& window, bool& confirmed);
  // Under a hint: reads the file's headers from where the proof stands up
  // to the one at `offset` (to the end marker, at the largest offset),
  // each against its record. Returns a failed read; `sound` false when the
  // file and the index disagree, and the index has been forgotten.
  Failure prove(std::int64_t offset, ReadWindow& window, bool& sound);
  bool isHint() const;

  bool keepEntries;
  // The seals that cover the file, or a saved index that knows every
  // chunk; when there is neither, what the walk learned:
  std::unique_ptr<SealSet> seals;
  std::unique_ptr<SavedIndex> saved;
  // Data chunks in file order, by their payload sizes, positions and
  // offsets worked out from the runs, the milestones (the header offset of
  // every 64th) and the gaps.
  std::vector<std::uint16_t> payloads;
  std::vector<Run> runs;
  std::vector<std::int64_t> milestones;
  std::vector<Gap> gaps;
  // Chunks without data passed since the last data chunk.
  Gap pending{0, 0, 0, 0};
  // A stream keeps only its last data chunk.
  bool haveLast = false;
  ChunkEntry last;

  // The members the walk met, and the seals of the sealed ones.
  std::unique_ptr<MemberSeals> walked;

  Frontier front;
  bool endMarkerChecked = true;
  // What is known came from a saved index (either version).
  bool fromSaved = false;
  Dropped dropped = Dropped::No;
  // The last block of a saved index agrees with the file.
  bool tailChecked = false;
  // Under a hint: how far the file's own headers, read from the first,
  // have been found to say what the index says. A position a hint gives
  // is the sum of the data sizes before it, which nothing at the place it
  // leads to can confirm: records that swap the data sizes of two chunks
  // of one payload size keep every offset, checksum and milestone, and
  // move every chunk between. So a chunk is taken from a hint only once
  // the proof has passed it.
  Frontier proved;
};

}  // namespace kob

#endif  // KOB_INDEX_CHUNK_INDEX_H
