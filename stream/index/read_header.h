// SPDX-License-Identifier: GPL-2.0-or-later
//
// Reading one chunk header where it stands, and after an end marker what
// follows it: the one reading of the structure of a packed file, under the
// walk (index/chunk_index.h), the cursor and salvage alike.

#ifndef KOB_INDEX_READ_HEADER_H
#define KOB_INDEX_READ_HEADER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/format.h"
#include "kob_failure.h"
#include "source/read_window.h"

namespace kob {

// A seal's trailer taken whole as a reader steps over it: when it has
// exactly `size` bytes, the size its member's chunks give it.
struct SealCapture {
  std::uint64_t size = 0;
  std::vector<unsigned char> bytes;
};

// Reads and checks the header at `offset`, which follows a chunk whose
// payload has `previousPayloadSize` bytes (0 for the first header), into
// `header`. Reads `ahead` more bytes when it must read. After an end
// marker it steps over the trailers there (taking the seal's into
// `capture` when asked), to the end of the file or another member's
// signature. Returns the damage or the failed read, ok() for a sound
// header (an end marker among them): DataAfterEnd for bytes after an end
// marker that are neither, CutShort for a trailer cut short. Whether the
// member may have trailers is for the caller to judge: it knows the
// member's flags.
Failure readHeaderAt(ReadWindow& window, std::int64_t offset,
                     std::uint32_t previousPayloadSize, std::size_t ahead,
                     ChunkHeader& header, SealCapture* capture = nullptr);

}  // namespace kob

#endif  // KOB_INDEX_READ_HEADER_H
