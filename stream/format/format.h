// SPDX-License-Identifier: GPL-2.0-or-later
//
// The packed format, read in one place and written in one place: the
// signature and the chunk headers (format.h), payload expansion and chunk
// compression (codec.h). Every reader, writer and tool goes through these
// functions, so none can disagree about a file. doc/format.md describes
// the format whole.
//
//   file    = signature, chunk*, end marker
//   chunk   = header, payload
//   header  = dataSize (uint16, big-endian: uncompressed bytes)
//             payloadSize (uint16, big-endian: bytes that follow)
//             backLink (uint16, big-endian: payloadSize of the chunk
//                       before, 0 for the first)
//   end     = a header whose payloadSize is 0; nothing follows it, or the
//             signature of another packed file (a member) whose data
//             follows on: packed files concatenated are one. A member
//             whose signature has flags may have trailers between its end
//             marker and what follows (format/seal_format.h)
//
// The header fields are also known as chunkDataSize, chunkSize and
// lastChunkSize; here, and everywhere in kob, they are the data size, the
// payload size and the back-link.

#ifndef KOB_FORMAT_FORMAT_H
#define KOB_FORMAT_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/big_endian.h"
#include "kob_damage.h"
#include "kob_limits.h"

namespace kob {

constexpr unsigned char kSignature[6] = {'K', 'O', 'B', 0x01, 0x00, 0x00};
// Bytes 0..3 identify a packed file; bytes 4 and 5 are not required.
constexpr std::size_t kSignatureTestLength = 4;
// Signature bytes 4 and 5 as one number: the member's flags, 0 as KobFile
// and kobpack write them. The seal (format/seal_format.h) is the lowest
// bit of byte 4; the others are for later extensions, and written 0.
constexpr std::size_t kFlagsAt = 4;
constexpr std::uint32_t kSealedFlag = 0x0100;
constexpr std::int64_t kFirstHeaderOffset = sizeof kSignature;
constexpr std::size_t kHeaderSize = 6;
constexpr std::uint32_t kMaxFieldValue = 0xFFFF;
// Bytes between one member's end marker and the next member's first
// header: the signature.
constexpr std::uint32_t kMemberGap = sizeof kSignature;
static_assert(kLargestChunkSize == kMaxFieldValue);

// True when `count` bytes at `bytes` begin a packed file.
bool hasSignature(const unsigned char* bytes, std::size_t count);

// The flags of the signature among the `count` bytes at `bytes` (0 when
// fewer than the whole signature are there).
std::uint32_t signatureFlags(const unsigned char* bytes, std::size_t count);

struct ChunkHeader {
  std::uint32_t dataSize = 0;
  std::uint32_t payloadSize = 0;  // 0: the end marker
  std::uint32_t backLink = 0;
  // False when the file ends inside the back-link, which only an end marker
  // may do: its data is complete without it.
  bool hasBackLink = true;
  // An end marker followed by a signature: another packed stream (a
  // member) begins there, and its data goes on where this one's ended.
  bool joinsNext = false;
  // After an end marker: the bytes of the trailers between it and what
  // follows (format/seal_format.h), and of the last of them when it is a
  // seal (0 when it is not); with joinsNext, the next member's flags.
  std::uint64_t trailerBytes = 0;
  std::uint64_t sealBytes = 0;
  std::uint32_t nextFlags = 0;

  bool isEndMarker() const { return payloadSize == 0; }
  // Whether the data ends here: an end marker with no member after it.
  bool endsData() const { return isEndMarker() && !joinsNext; }
  // Bytes from this header to the next one: the header and its payload,
  // or for an end marker that joins the next member, the header, its
  // trailers and the next member's signature.
  std::uint64_t span() const;
  // What the next header's back-link must be: this payload's size, or 0
  // after an end marker, where the next member's first chunk begins.
  std::uint32_t linkForNext() const { return isEndMarker() ? 0 : payloadSize; }
};

// Decodes the header among the `available` bytes at `bytes` and checks it
// against the chunk before it, whose payload has `previousPayloadSize`
// bytes. Returns CutShort, BrokenBackLink or None. Whether anything follows
// an end marker is for the caller to check: it needs the file.
Damage decodeHeader(const unsigned char* bytes, std::size_t available,
                    std::uint32_t previousPayloadSize, ChunkHeader& header);

// Writes a chunk header into `out`.
void encodeHeader(unsigned char* out, std::uint32_t dataSize,
                  std::uint32_t payloadSize, std::uint32_t backLink);

// Writes one chunk: its header, then its payload. With a payload size of 0
// this is the end marker. Returns false on a short write.
bool writeChunkRecord(std::FILE* file, std::uint32_t dataSize,
                      const unsigned char* payload, std::uint32_t payloadSize,
                      std::uint32_t backLink);

// Writes the signature of a member with `flags`. Returns false on a short
// write.
bool writeSignature(std::FILE* file, std::uint32_t flags = 0);

// True for a chunk size the format can record: 1..65535.
inline bool validChunkSize(long size) {
  return size >= 1 && size <= kLargestChunkSize;
}

}  // namespace kob

#endif  // KOB_FORMAT_FORMAT_H
