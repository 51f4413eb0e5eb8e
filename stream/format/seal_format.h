// SPDX-License-Identifier: GPL-2.0-or-later
//
// The seal, as doc/format.md lays it out ("The seal"): a member whose
// signature's byte 4 carries the flag kSealedFlag has, after its end
// marker, a trailer that lists every chunk header of the member with a
// checksum of its payload (the records section of format/records.h), and
// ends in a footer of fixed size:
//
//   trailer = head, records section, footer
//   head    = "KOBS", trailer length (8), the signature's bytes 4-5, 0 0
//   footer  = records (8), data size (8), trailer length (8),
//             member length (8: its signature to this footer's end),
//             XXH3-64 of the trailer up to here (8), "KOBS"
//
// Every trailer after an end marker starts as the seal's does: "KOB" and a
// capital letter naming it, then its length, so that a reader steps over
// one it does not know. Offsets and positions in the records count from
// the member's own signature and data, so that members joined with cat
// keep their seals.

#ifndef KOB_FORMAT_SEAL_FORMAT_H
#define KOB_FORMAT_SEAL_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "format/format.h"
#include "format/records.h"

namespace kob {

// What every trailer begins with: "KOB", a capital letter, its length.
constexpr std::size_t kTrailerHeadSize = 12;
constexpr unsigned char kSealKind = 'S';

struct TrailerHead {
  unsigned char kind = 0;
  std::uint64_t length = 0;  // the whole trailer's bytes
};

// Decodes the head of a trailer among the `available` bytes at `bytes`.
// Returns false when they are not one (a trailer holds at least its head).
bool decodeTrailerHead(const unsigned char* bytes, std::size_t available,
                       TrailerHead& head);

// The seal's trailer: its head, the records section, the footer.
constexpr std::size_t kSealHeadSize = 16;
constexpr std::size_t kSealFooterSize = 44;

inline std::uint64_t sealTrailerSize(std::uint64_t records) {
  return kSealHeadSize + recordsSize(records) + kSealFooterSize;
}

struct SealFooter {
  std::uint64_t records = 0;
  std::uint64_t dataSize = 0;
  std::uint64_t trailerLength = 0;
  std::uint64_t memberLength = 0;
  std::uint64_t checksum = 0;
};

// Decodes the footer at `bytes` (kSealFooterSize of them). Returns false
// when they are not a footer whose counts agree with each other: its
// magic, a trailer of exactly the size its records need, a member that
// holds at least its signature, end marker and trailer, and no more
// records than a member of that size can hold.
bool decodeSealFooter(const unsigned char* bytes, SealFooter& footer);

// Checks the trailer at `trailer` (footer.trailerLength bytes, ending in
// the footer decoded) of a member whose signature says `flags`: its own
// checksum and its head. Returns whether it is what it must be.
bool checkSealTrailer(const unsigned char* trailer, const SealFooter& footer,
                      std::uint32_t flags);

// Hands the seal's trailer to `sink`: `records` of a member with `flags`
// holding `dataSize` bytes of data in `chunkBytes` bytes (its signature,
// chunks and end marker). Returns false when `sink` did.
bool writeSealTrailer(const RecordsEncoder& records, std::uint32_t flags,
                      std::uint64_t dataSize, std::uint64_t chunkBytes,
                      const RecordsEncoder::Sink& sink);

}  // namespace kob

#endif  // KOB_FORMAT_SEAL_FORMAT_H
