// SPDX-License-Identifier: GPL-2.0-or-later
//
// Fetching one chunk at a known offset and checking it: the header decoded
// (against the chunk before when its payload size is known), the payload
// read whole, compared with its checksum when one is given, and expanded;
// whatever is wrong is named as damage. The cursor reads every payload
// through it, and salvage reads every chunk through it: salvage differs
// only in what it does with the damage (it goes on past it).

#ifndef KOB_READ_CHUNK_CHECK_H
#define KOB_READ_CHUNK_CHECK_H

#include <cstddef>
#include <cstdint>

#include "format/format.h"
#include "kob_failure.h"
#include "source/read_window.h"

namespace kob {

// What is known of a chunk before it is read.
struct ChunkClaim {
  std::int64_t offset = kFirstHeaderOffset;  // of its header
  // The payload size of the chunk before it, when known: the header's
  // back-link must say it. Not known past damage, where the chunk before
  // is lost.
  bool linkKnown = true;
  std::uint32_t previousPayloadSize = 0;
  // The checksum its payload must have (from a saved index), when given.
  bool hasChecksum = false;
  std::uint32_t checksum = 0;
  // Bytes to read on ahead when a read is needed.
  std::size_t ahead = 0;
};

// What fetching a chunk came to.
struct CheckedChunk {
  ChunkHeader header;
  // The header decoded whole (and chained, when the link was known): the
  // damage, if any, is in the payload.
  bool headerSound = false;
  // The payload, when it was read whole; valid until the window's next
  // fetch.
  const unsigned char* payload = nullptr;
};

// Reads and checks the header at claim.offset into `header` (see
// readHeaderAt: an end marker must end the file). Returns the damage or
// the failed read.
Failure readChunkHeader(ReadWindow& window, const ChunkClaim& claim,
                        ChunkHeader& header);

// Reads the payload of the chunk `header` at claim.offset whole, with the
// header after it in the same read, and compares it with its checksum when
// the claim has one. Returns CutShort, ChecksumMismatch or the failed
// read; `payload` is valid until the window's next fetch.
Failure readChunkPayload(ReadWindow& window, const ChunkClaim& claim,
                         const ChunkHeader& header,
                         const unsigned char*& payload);

// Both, then expands the payload into `out` (room for the header's data
// size; at most kMaxFieldValue bytes). An end marker has no payload.
// Returns the damage met or the failed read; `chunk` says how far it got.
Failure fetchChunk(ReadWindow& window, const ChunkClaim& claim,
                   unsigned char* out, CheckedChunk& chunk);

}  // namespace kob

#endif  // KOB_READ_CHUNK_CHECK_H
