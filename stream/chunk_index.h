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

#ifndef KOB_CHUNK_INDEX_H
#define KOB_CHUNK_INDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "format.h"
#include "kob_failure.h"
#include "read_window.h"

namespace kob {

// Reads and checks the header at `offset`, which follows a chunk whose
// payload has `previousPayloadSize` bytes (0 for the first header), into
// `header`. Reads `ahead` more bytes when it must read. Returns the damage
// or the failed read, ok() for a sound header (an end marker among them).
Failure readHeaderAt(ReadWindow& window, std::int64_t offset,
                     std::uint32_t previousPayloadSize, std::size_t ahead,
                     ChunkHeader& header);

// A chunk that holds data, as its header said when it was learned.
struct ChunkEntry {
  std::int64_t headerOffset;
  std::uint64_t position;  // of its first byte in the data
  std::uint64_t number;    // 0 for the first chunk in the file
  std::uint16_t dataSize;
  std::uint16_t payloadSize;
  std::uint16_t backLink;

  ChunkHeader header() const {
    ChunkHeader h;
    h.dataSize = dataSize;
    h.payloadSize = payloadSize;
    h.backLink = backLink;
    return h;
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
    std::uint64_t chunksPassed = 0;  // the number of the chunk there
    // Ended: the header at headerOffset is the end marker and `position`
    // the size of the data. Damaged: that header is damaged, as `damage`
    // says.
    State state = Open;
    Damage damage = Damage::None;
  };

  // Sees every chunk the walk passes, in file order.
  using Observer = std::function<void(const ChunkEntry& chunk)>;

  // A reader of a stream keeps only the last chunk learned: it cannot go
  // back to the others.
  explicit ChunkIndex(bool aKeepEntries = true) : keepEntries(aKeepEntries) {}

  const Frontier& frontier() const { return front; }

  // Finds where `position` lies, walking on from the frontier when it lies
  // beyond: `found` is the chunk that holds it, or null when it lies at or
  // beyond the end of the data (frontier().position is then the data's
  // size). Returns the damage or failed read that stops the walk first,
  // with where it is.
  Failure locate(std::uint64_t position, ReadWindow& window,
                 const ChunkEntry*& found);

  // Reads the header at the frontier into `header` and learns it (a chunk,
  // the end marker, or damage), reading a damaged one again. Not at the
  // end. Reads `ahead` more bytes when it must read.
  Failure learnNext(ReadWindow& window, std::size_t ahead,
                    ChunkHeader& header);

  // Moves the frontier past the chunk whose checked header `header` stands
  // there, keeping an entry for it when it holds data.
  void pass(const ChunkHeader& header);

  // Whether the sound header `header`, read at `offset`, says what the
  // index learned of that place: a chunk known there must be that chunk,
  // and where none is known below the frontier only a chunk without data
  // can stand; at an end marker the walk reached, only an end marker.
  // Headers beyond the frontier agree with anything.
  bool agrees(std::int64_t offset, const ChunkHeader& header) const;

  // Forgets everything, as when the file changed under the reader.
  void forget();

  // Takes the end marker to stand at the frontier, as a file's saved index
  // says, without reading it: locate reads it before it is trusted.
  void assumeEnd();

  // Takes over what `other` learned (a file's saved index, read into it),
  // keeping this index's own settings. Every header it leads to is still
  // checked where it is met.
  void adopt(ChunkIndex&& other);

  void setObserver(Observer anObserver) { observer = std::move(anObserver); }

  // The failure at the frontier, with where it is.
  Failure frontierFailure(Failure failure) const;

  std::size_t heldBytes() const {
    return entries.capacity() * sizeof(ChunkEntry);
  }

 private:
  // Reads the end marker a saved index put at the frontier. False when it
  // is not there: the index was wrong about the file and is forgotten.
  Failure confirmEnd(ReadWindow& window, bool& confirmed);

  bool keepEntries;
  std::vector<ChunkEntry> entries;
  Frontier front;
  bool endMarkerChecked = true;
  Observer observer;
};

}  // namespace kob

#endif  // KOB_CHUNK_INDEX_H
