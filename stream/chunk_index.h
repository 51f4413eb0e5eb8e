// What a reader knows of a packed file's chunks: the chunks that hold data,
// learned from their headers in file order, and the frontier where that
// walk stands. With it a seek to any chunk already passed is a lookup and
// one read, in either direction; a seek further on walks on from the
// frontier, reading many headers at a time through the read window.
//
// The walk is the one reading of the file's structure: every header is
// checked where it is met (complete, its back-link matching the chunk
// before, nothing after the end marker) and the first damage ends it for
// good. So whatever path a reader takes, it meets the same damage at the
// same position.

#ifndef KOB_CHUNK_INDEX_H
#define KOB_CHUNK_INDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "format.h"
#include "read_window.h"

namespace kob {

// One header read from the file and checked.
struct HeaderRead {
  enum Outcome { Chunk, EndMarker, Damaged, ReadFailed };
  Outcome outcome = ReadFailed;
  ChunkHeader header;
  Damage damage = Damage::None;
};

// Reads and checks the header at `offset`, which follows a chunk whose
// payload has `previousPayloadSize` bytes (0 for the first header). Reads
// `ahead` more bytes when it must read.
HeaderRead readHeaderAt(ReadWindow& window, std::int64_t offset,
                        std::uint32_t previousPayloadSize, std::size_t ahead);

// A chunk that holds data, as its header said when it was learned.
struct ChunkEntry {
  std::int64_t headerOffset;
  std::uint64_t position;  // of its first byte in the data
  std::uint16_t dataSize;
  std::uint16_t payloadSize;
  std::uint16_t backLink;
};

// Bytes a walk reads at a time: many headers of ordinary chunks.
constexpr std::size_t kWalkReadSize = 128 * 1024;

class ChunkIndex {
 public:
  // Where the walk stands: the next header to read, and what it must say.
  struct Frontier {
    enum State { Open, Ended, Damaged };
    std::int64_t headerOffset = kFirstHeaderOffset;
    std::uint64_t position = 0;
    std::uint32_t previousPayloadSize = 0;
    std::uint64_t chunksPassed = 0;
    // Ended: the header at headerOffset is the end marker and `position`
    // the size of the data. Damaged: that header is damaged.
    State state = Open;
    Damage damage = Damage::None;
  };

  // Sees every chunk the walk passes, in file order, with its number.
  using Observer =
      std::function<void(std::uint64_t number, std::int64_t headerOffset,
                         std::uint64_t position, const ChunkHeader& header)>;

  // A reader of a stream keeps only the last chunk learned: it cannot go
  // back to the others.
  explicit ChunkIndex(bool aKeepEntries = true) : keepEntries(aKeepEntries) {}

  const Frontier& frontier() const { return front; }

  // The known chunk that holds `position`, or null when `position` lies at
  // or beyond the frontier.
  const ChunkEntry* find(std::uint64_t position) const;

  // Reads the header at the frontier and learns it.
  HeaderRead learnNext(ReadWindow& window, std::size_t ahead);

  // Moves the frontier past the chunk whose checked header `header` stands
  // there, keeping an entry for it when it holds data.
  void pass(const ChunkHeader& header);

  // Walks on until the chunk that holds `position` is known, or the walk
  // ends at the end marker or at damage. Returns false when a read failed.
  bool learnUpTo(std::uint64_t position, ReadWindow& window);

  // Forgets everything, as when the file changed under the reader.
  void forget();

  // Takes the end marker to stand at the frontier, as a file's saved index
  // says, without reading it: confirmEnd reads it before it is trusted.
  void assumeEnd();

  enum class EndCheck { Confirmed, Forgotten, ReadFailed };
  // Makes sure the end marker the frontier stands on is there. Confirmed
  // when it was read already, or is read now and is an end marker with
  // nothing after it; otherwise the index was wrong about the file and is
  // forgotten, to be learned afresh (Forgotten), or the read failed.
  EndCheck confirmEnd(ReadWindow& window);

  // Takes over what `other` learned (a file's saved index, read into it),
  // keeping this index's own settings. Every header it leads to is still
  // checked where it is met.
  void adopt(ChunkIndex&& other);

  void setObserver(Observer anObserver) { observer = std::move(anObserver); }

  std::size_t heldBytes() const {
    return entries.capacity() * sizeof(ChunkEntry);
  }

 private:
  bool keepEntries;
  std::vector<ChunkEntry> entries;
  Frontier front;
  bool endMarkerChecked = true;
  Observer observer;
};

}  // namespace kob

#endif  // KOB_CHUNK_INDEX_H
