// SPDX-License-Identifier: GPL-2.0-or-later
//
// Finding where chunks start again past a header that cannot be read.
//
// The bytes after it are searched through a window that slides over the
// file, several times larger than the largest chunk (its header, payload
// and the header after), so that every offset is tested from memory and
// every byte of the file is read a bounded number of times however much
// of it is junk. An offset passes when a chunk holding data could start
// there: its header's sizes fit together and the file, the header after
// it chains to it (or is an end marker, whole or cut inside its back-link),
// and its payload expands to exactly its stated size. From there the
// chunks whose headers still read are counted back along the back-links,
// again through windows that end where they are needed.

#ifndef KOB_SALVAGE_SEARCH_H
#define KOB_SALVAGE_SEARCH_H

#include <cstddef>
#include <cstdint>

#include "format/format.h"
#include "kob_failure.h"
#include "source/read_window.h"

namespace kob {

// The bytes of a chunk at its largest: its header, a payload of 65535
// bytes, and the header after it.
constexpr std::size_t kLargestRecord = kHeaderSize + kMaxFieldValue + kHeaderSize;
// The window the search slides: four of the largest chunks, so that three
// quarters of every read are offsets tested, or the source's own read size
// for a walk when that is larger (a request over a network costs a round
// trip).
constexpr std::size_t kSearchWindow = 4 * kLargestRecord;

class ChunkSearch {
 public:
  // Searches the file `window` reads, of `fileSize` bytes (a read that
  // finds fewer lowers it). `scratch` has room for kMaxFieldValue bytes.
  ChunkSearch(ReadWindow& window, std::int64_t& fileSize,
              unsigned char* scratch);

  // A place where chunks start again.
  struct Found {
    std::int64_t offset = -1;  // of its header; -1 when there is none
    ChunkHeader header;        // the header there
    bool last = false;         // the end marker follows it
  };

  // The first offset from `from` on where a chunk holding at most
  // `largest` bytes (any, when 0) could start. Returns the failed read.
  Failure next(std::int64_t from, std::uint32_t largest, Found& found);

  // The first of the chunks before `offset` whose headers chain, header
  // after header, to the one at `offset`, none of them at or before
  // `floor`; `offset` itself when none does.
  Failure earliestChained(std::int64_t floor, std::int64_t offset,
                          std::int64_t& earliest);

 private:
  // Whether a chunk could start at `at`, whose bytes (up to the window's
  // end) are `bytes`, `available` of them.
  bool couldStart(std::int64_t at, const unsigned char* bytes,
                  std::size_t available, std::uint32_t largest, Found& found);
  // The `kHeaderSize` bytes at `at` (fewer at the end of the file), read
  // through a window that ends there; null when not there.
  const unsigned char* headerBefore(std::int64_t floor, std::int64_t at,
                                    int& error);

  ReadWindow& window;
  std::int64_t& fileSize;
  unsigned char* scratch;
  std::size_t windowSize;
  // What the window holds of a walk back: `spanSize` bytes from
  // `spanStart`, valid until the window's next fetch.
  std::int64_t spanStart = 0;
  const unsigned char* spanData = nullptr;
  std::size_t spanSize = 0;
};

}  // namespace kob

#endif  // KOB_SALVAGE_SEARCH_H
